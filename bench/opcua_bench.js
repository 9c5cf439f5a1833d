// The OPC UA bench's client (node-opcua-client): monitors every variable of
// a plant of many points in one subscription, then takes data changes for a
// while and says how late each change of an animated counter came.
//
//   node opcua_bench.js URL USER PASSWORD PKI POINTS ANIMATED PERIOD_MS T0_MS T1_MS SECONDS
//
// Points are ns=1;s=a/p00000 ... on line a and as many on line b; the first
// ANIMATED of each line count up by one every PERIOD_MS from 0, period k
// starting at T0_MS (line a) or T1_MS (line b) + k * PERIOD_MS (the wall
// clock, ms since the epoch). Prints one JSON object.
"use strict";

const {
    OPCUAClient,
    MessageSecurityMode,
    SecurityPolicy,
    AttributeIds,
    UserTokenType,
    TimestampsToReturn,
    ClientMonitoredItemGroup,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const [url, user, password, pki, points, animated, periodMs, t0Ms, t1Ms, seconds] = process.argv.slice(2);
const count = Number(points);
const half = count / 2;
const moving = Number(animated);
const period = Number(periodMs);
const starts = [Number(t0Ms), Number(t1Ms)];

function nodeOf(i) {
    return `ns=1;s=${i < half ? "a" : "b"}/p${String(i % half).padStart(5, "0")}`;
}

function percentile(sorted, p) {
    if (sorted.length === 0) {
        return null;
    }
    return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

async function main() {
    const client = OPCUAClient.create({
        securityMode: MessageSecurityMode.SignAndEncrypt,
        securityPolicy: SecurityPolicy.Basic256Sha256,
        endpointMustExist: false,
        clientCertificateManager: new OPCUACertificateManager({
            rootFolder: pki,
            automaticallyAcceptUnknownCertificate: true,
        }),
        connectionStrategy: { maxRetry: 3, initialDelay: 200, maxDelay: 1000 },
    });
    await client.connect(url);
    const session = await client.createSession({ type: UserTokenType.UserName, userName: user, password });
    const subscription = await session.createSubscription2({
        requestedPublishingInterval: 50,
        requestedMaxKeepAliveCount: 20,
        requestedLifetimeCount: 600,
        maxNotificationsPerPublish: 0,
        publishingEnabled: true,
    });
    const latencies = [];
    const fromRead = []; // from the gateway's read of the value (its SourceTimestamp)
    let changes = 0;
    let measuring = false;
    const started = Date.now();
    const groups = [];
    // In calls of 1,000 items: what a SCADA does with a large address space.
    for (let first = 0; first < count; first += 1000) {
        const items = [];
        for (let i = first; i < Math.min(count, first + 1000); ++i) {
            items.push({ nodeId: nodeOf(i), attributeId: AttributeIds.Value });
        }
        const group = ClientMonitoredItemGroup.create(
            subscription,
            items,
            { samplingInterval: 0, queueSize: 4, discardOldest: true },
            TimestampsToReturn.Both
        );
        await new Promise((resolve, reject) => {
            group.on("initialized", resolve);
            group.on("err", reject);
        });
        group.on("changed", (item, dataValue, index) => {
            const i = first + index;
            if (!measuring || i % half >= moving || !dataValue.statusCode.isGood()) {
                return;
            }
            changes += 1;
            const k = dataValue.value.value;
            const now = Date.now();
            latencies.push(now - (starts[i < half ? 0 : 1] + k * period));
            if (dataValue.sourceTimestamp) {
                fromRead.push(now - dataValue.sourceTimestamp.getTime());
            }
        });
        groups.push(group);
    }
    const createdMs = Date.now() - started;
    process.stderr.write(`created ${count} monitored items in ${createdMs} ms\n`);
    // Let the initial values pass, then measure.
    await new Promise((r) => setTimeout(r, 3000));
    measuring = true;
    const from = Date.now();
    await new Promise((r) => setTimeout(r, Number(seconds) * 1000));
    measuring = false;
    const elapsed = (Date.now() - from) / 1000;
    latencies.sort((a, b) => a - b);
    fromRead.sort((a, b) => a - b);
    process.stdout.write(
        JSON.stringify({
            items: count,
            created_ms: createdMs,
            changes,
            changes_per_s: changes / elapsed,
            latency_ms: {
                samples: latencies.length,
                median: percentile(latencies, 50),
                p99: percentile(latencies, 99),
                max: latencies.length ? latencies[latencies.length - 1] : null,
            },
            from_read_ms: {
                median: percentile(fromRead, 50),
                p99: percentile(fromRead, 99),
                max: fromRead.length ? fromRead[fromRead.length - 1] : null,
            },
        }) + "\n"
    );
    await subscription.terminate().catch(() => {});
    await session.close().catch(() => {});
    await client.disconnect().catch(() => {});
}

main().then(
    () => process.exit(0),
    (err) => {
        process.stderr.write(`opcua_bench: ${err.message}\n`);
        process.exit(1);
    }
);
