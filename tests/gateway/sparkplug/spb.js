// The e2e test's independent Sparkplug codec: the npm package
// sparkplug-payload, which shares no code with the gateway.
//
//   node spb.js decode < LOG      LOG: mosquitto_sub -F '%t %x' lines; one JSON
//                                 object per line out: {"topic", "payload"}
//   node spb.js encode JSON > FILE  a payload (metrics with name, type, value)
'use strict';
const sparkplug = require('sparkplug-payload').get('spBv1.0');
const readline = require('readline');

// Longs (timestamps, seq, bdSeq, 64-bit values) as plain numbers.
function plain(value) {
    if (value === null || value === undefined) {
        return value;
    }
    if (typeof value.toNumber === 'function') {
        return value.toNumber();
    }
    if (Buffer.isBuffer(value)) {
        return value.toString('hex');
    }
    if (Array.isArray(value)) {
        return value.map(plain);
    }
    if (typeof value === 'object') {
        const out = {};
        for (const [k, v] of Object.entries(value)) {
            out[k] = plain(v);
        }
        return out;
    }
    return value;
}

if (process.argv[2] === 'encode') {
    const payload = JSON.parse(process.argv[3]);
    payload.timestamp = payload.timestamp || Date.now();
    process.stdout.write(sparkplug.encodePayload(payload));
} else {
    const lines = readline.createInterface({input: process.stdin});
    lines.on('line', (line) => {
        const space = line.indexOf(' ');
        const topic = line.slice(0, space);
        const hex = line.slice(space + 1);
        let payload = null;
        let error = null;
        if (topic.startsWith('spBv1.0/') && !topic.startsWith('spBv1.0/STATE/')) {
            try {
                payload = plain(sparkplug.decodePayload(Buffer.from(hex, 'hex')));
            } catch (e) {
                error = String(e);
            }
        }
        console.log(JSON.stringify({topic, payload, error}));
    });
}
