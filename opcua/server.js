// The OPC UA server of westnet-gateway. The gateway runs this program, with
// its end of a socket pair on file descriptor 3 (gateway/opcua/opcua.h has
// the messages), and puts what it prints into its own log: "info: ...",
// "warning: ..." or "error: ..." a line.
//
// The gateway is the plant's only owner: this program learns the points and
// every change of them over the link, asks it to check user names and
// passwords, and hands it every write, which the gateway audits and makes.
"use strict";

const fs = require("fs");
const net = require("net");
const path = require("path");
const readline = require("readline");

const { OPCUAServer, MonitoredItem } = require("node-opcua-server");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");
const { MessageSecurityMode, SecurityPolicy } = require("node-opcua-secure-channel");
const { UserTokenType } = require("node-opcua-service-endpoints");
const { DataType, Variant, VariantArrayType } = require("node-opcua-variant");
const { StatusCodes } = require("node-opcua-status-code");
const { AttributeIds, makeAccessLevelFlag } = require("node-opcua-data-model");
const { standardUnits, makeEUInformation } = require("node-opcua-data-access");
const { nodesets } = require("node-opcua-nodesets");
const { WellKnownRoles, makeRoles } = require("node-opcua-address-space");

const NAMESPACE = "urn:westnet:gateway";

function log(level, text) {
    process.stdout.write(`${level}: ${String(text).replace(/\n/g, " ")}\n`);
}

// ---- the link to the gateway -------------------------------------------------

const link = new net.Socket({ fd: 3, readable: true, writable: true });
const pending = new Map(); // request id -> resolve
let nextId = 1;

function send(message) {
    link.write(JSON.stringify(message) + "\n");
}

function ask(message) {
    return new Promise((resolve) => {
        const id = nextId++;
        pending.set(id, resolve);
        send({ ...message, id });
    });
}

// The gateway gone: nothing to serve; it starts this program again.
link.on("close", () => process.exit(0));
link.on("error", () => process.exit(0));

// ---- values ------------------------------------------------------------------

// The OPC UA type of a point: its engineering value's type; a scaled point
// carries fractions whatever its registers hold, so it is a Double.
function dataTypeOf(point) {
    if (point.scale) {
        return DataType.Double;
    }
    switch (point.type) {
        case "bool":
            return DataType.Boolean;
        case "int16":
            return DataType.Int16;
        case "uint32":
            return DataType.UInt32;
        case "int32":
            return DataType.Int32;
        case "float32":
            return DataType.Float;
        default:
            return DataType.UInt16; // uint16, bcd16
    }
}

const stations = new Map(); // "line/NN" -> "ok" | "demoted" | "down"
const variables = new Map(); // "line/name" -> { variable, point }

function stationKey(line, station) {
    return `${line}/${station}`;
}

// good -> Good; stale -> UncertainLastUsableValue; the station demoted or
// its line down -> BadNoCommunication; never read -> BadWaitingForInitialData;
// a failed read with no good value young enough -> BadNoCommunication.
function statusOf(point) {
    const state = stations.get(stationKey(point.line, point.station)) || "ok";
    if (state !== "ok") {
        return StatusCodes.BadNoCommunication;
    }
    if (point.time === null || point.time === undefined) {
        return StatusCodes.BadWaitingForInitialData;
    }
    if (point.quality === "good") {
        return StatusCodes.Good;
    }
    if (point.quality === "stale") {
        return StatusCodes.UncertainLastUsableValue;
    }
    return StatusCodes.BadNoCommunication;
}

// Arrays of numbers travel as typed arrays, as the stack wants them.
const arrayOf = {
    [DataType.UInt16]: Uint16Array,
    [DataType.Int16]: Int16Array,
    [DataType.UInt32]: Uint32Array,
    [DataType.Int32]: Int32Array,
    [DataType.Float]: Float32Array,
    [DataType.Double]: Float64Array,
};

function variantOf(point) {
    const dataType = dataTypeOf(point);
    const convert = (v) => (dataType === DataType.Boolean ? v === 1 || v === true : v === null ? 0 : v);
    if (point.count !== undefined) {
        const values = (point.values || new Array(point.count).fill(0)).map(convert);
        const Typed = arrayOf[dataType];
        return new Variant({ dataType, arrayType: VariantArrayType.Array, value: Typed ? Typed.from(values) : values });
    }
    return new Variant({ dataType, value: point.value === null ? convert(0) : convert(point.value) });
}

function show(entry) {
    entry.variable.setValueFromSource(
        variantOf(entry.point),
        statusOf(entry.point),
        entry.point.time ? new Date(entry.point.time) : new Date()
    );
}

// ---- users -------------------------------------------------------------------

const roles = new Map(); // user -> "viewer" | "operator" | "admin", from the gateway

const userManager = {
    isValidUserAsync(userName, password, callback) {
        const client = clientOf(this);
        ask({ type: "login", user: userName, password, client }).then((reply) => {
            if (reply.result === "ok") {
                roles.set(userName, reply.role);
                callback(null, true);
            } else if (reply.result === "throttled") {
                log("warning", `user ${JSON.stringify(userName)} from ${client}: refused unchecked, ` +
                    "after too many failed logins from that address within a minute");
                callback(null, false);
            } else {
                log("warning", `user ${JSON.stringify(userName)} from ${client}: wrong user name or password`);
                callback(null, false);
            }
        });
    },
    getUserRoles(userName) {
        const role = roles.get(userName);
        return makeRoles(role === "viewer" ? [WellKnownRoles.AuthenticatedUser, WellKnownRoles.Observer]
            : [WellKnownRoles.AuthenticatedUser, WellKnownRoles.Operator]);
    },
};

function clientOf(session) {
    const channel = session && session.channel;
    if (!channel || !channel.remoteAddress) {
        return "";
    }
    const address = channel.remoteAddress.replace(/^::ffff:/, "");
    return address.includes(":") ? `[${address}]:${channel.remotePort}` : `${address}:${channel.remotePort}`;
}

function userOf(context) {
    const token = context && context.session && context.session.userIdentityToken;
    return token && token.userName ? token.userName : "";
}

// What the gateway answered a write with, as an OPC UA status.
const writeStatus = {
    ok: StatusCodes.Good,
    forbidden: StatusCodes.BadUserAccessDenied,
    "not-writable": StatusCodes.BadNotWritable,
    "read-only": StatusCodes.BadNotWritable,
    "bad-value": StatusCodes.BadOutOfRange,
    "bad-request": StatusCodes.BadOutOfRange,
    "unknown-point": StatusCodes.BadNodeIdUnknown,
    demoted: StatusCodes.BadNoCommunication,
    "line-down": StatusCodes.BadNoCommunication,
    refused: StatusCodes.BadCommunicationError,
    "line-failure": StatusCodes.BadCommunicationError,
    busy: StatusCodes.BadTooManyOperations,
    "shutting-down": StatusCodes.BadShutdown,
};

// A write of the Value goes to the gateway on behalf of the session's user;
// the gateway checks the role, audits it and makes it. The value read back
// comes with the scan, as the line's own.
function writeThroughGateway(variable, original) {
    return function writeAttribute(context, writeValue, callback) {
        if (writeValue.attributeId !== AttributeIds.Value) {
            return original.call(variable, context, writeValue, callback);
        }
        const entry = variables.get(variable.__westnetKey);
        if (!entry || !entry.point.writable) {
            return callback(null, StatusCodes.BadNotWritable);
        }
        if (writeValue.indexRange && !writeValue.indexRange.isEmpty()) {
            return callback(null, StatusCodes.BadIndexRangeInvalid);
        }
        const variant = writeValue.value && writeValue.value.value;
        if (!variant || variant.dataType !== dataTypeOf(entry.point)) {
            return callback(null, StatusCodes.BadTypeMismatch);
        }
        let value = variant.value;
        if (value instanceof Float32Array || value instanceof Float64Array || ArrayBuffer.isView(value)) {
            value = Array.from(value);
        }
        ask({
            type: "write",
            user: userOf(context),
            client: clientOf(context && context.session),
            line: entry.point.line,
            name: entry.point.name,
            value,
        }).then((reply) => {
            callback(null, writeStatus[reply.result] || StatusCodes.BadInternalError);
        });
    };
}

// A point's MinimumSamplingInterval is its scan_ms: no value of it is fresher.
// The stack would then sample a monitored point on a timer of that period,
// up to a whole period after the scan brought the value; since every change
// is pushed here as the scan makes it, a point's data changes go out as they
// come instead (the revised interval the client was told still holds: no
// faster than the scan).
const startSampling = MonitoredItem.prototype._start_sampling;
MonitoredItem.prototype._start_sampling = function (recordInitialValue) {
    if (this.node && this.node.__westnetKey && this.itemToMonitor.attributeId === AttributeIds.Value) {
        this.samplingInterval = 0;
    }
    return startSampling.call(this, recordInitialValue);
};

// ---- the address space --------------------------------------------------------

let server = null;
let folder = null;

function unitOf(text) {
    for (const unit of Object.values(standardUnits)) {
        if (unit.displayName && unit.displayName.text === text) {
            return unit;
        }
    }
    return makeEUInformation("", text, text);
}

function addPoint(namespace, parents, point) {
    const key = `${point.line}/${point.name}`;
    const stationName = `s${String(point.station).padStart(2, "0")}`;
    const parentKey = `${point.line}/${stationName}`;
    let parent = parents.get(parentKey);
    if (!parent) {
        let lineFolder = parents.get(point.line);
        if (!lineFolder) {
            lineFolder = namespace.addFolder(folder, {
                browseName: point.line,
                nodeId: `s=${point.line}`,
            });
            parents.set(point.line, lineFolder);
        }
        parent = namespace.addFolder(lineFolder, { browseName: stationName, nodeId: `s=${parentKey}` });
        parents.set(parentKey, parent);
    }
    const dataType = dataTypeOf(point);
    const options = {
        componentOf: parent,
        browseName: point.name,
        nodeId: `s=${key}`,
        dataType,
        valueRank: point.count !== undefined ? 1 : -1,
        arrayDimensions: point.count !== undefined ? [point.count] : null,
        accessLevel: makeAccessLevelFlag(point.writable ? "CurrentRead | CurrentWrite" : "CurrentRead"),
        userAccessLevel: makeAccessLevelFlag(point.writable ? "CurrentRead | CurrentWrite" : "CurrentRead"),
        minimumSamplingInterval: point.scan_ms,
        description: `${point.address}: ${point.type}${point.unit ? " in " + point.unit : ""}`,
    };
    let variable;
    if (point.scale) {
        // The gateway sends the engineering values the point can hold.
        const [low, high] = point.eu_range || [Math.min(point.scale[2], point.scale[3]),
            Math.max(point.scale[2], point.scale[3])];
        variable = namespace.addAnalogDataItem({
            ...options,
            organizedBy: undefined,
            engineeringUnitsRange: { low, high },
            engineeringUnits: point.unit ? unitOf(point.unit) : makeEUInformation("", "", ""),
        });
    } else {
        variable = namespace.addVariable(options);
        if (point.unit) {
            namespace.addVariable({
                propertyOf: variable,
                browseName: { name: "EngineeringUnits", namespaceIndex: 0 },
                typeDefinition: "PropertyType",
                dataType: "EUInformation",
                value: { dataType: DataType.ExtensionObject, value: unitOf(point.unit) },
            });
        }
    }
    variable.__westnetKey = key;
    variable.writeAttribute = writeThroughGateway(variable, variable.writeAttribute);
    const entry = { variable, point };
    variables.set(key, entry);
    variable.setValueFromSource(variantOf(point), statusOf(point), point.time ? new Date(point.time) : new Date());
}

function buildAddressSpace(message) {
    const addressSpace = server.engine.addressSpace;
    const namespace = addressSpace.getOwnNamespace();
    if (folder) {
        addressSpace.deleteNode(folder);
        variables.clear();
    }
    stations.clear();
    for (const s of message.stations) {
        stations.set(stationKey(s.line, s.station), s.state);
    }
    folder = namespace.addFolder(addressSpace.rootFolder.objects, { browseName: "westnet", nodeId: "s=westnet" });
    const parents = new Map();
    for (const point of message.points) {
        try {
            addPoint(namespace, parents, point);
        } catch (err) {
            log("error", `point ${point.line}/${point.name}: ${err.message}`);
        }
    }
    log("info", `address space: ${variables.size} points under Objects/westnet`);
}

function onPoint(point) {
    const entry = variables.get(`${point.line}/${point.name}`);
    if (entry) {
        entry.point = point;
        show(entry);
    }
}

function onStation(message) {
    stations.set(stationKey(message.line, message.station), message.state);
    for (const entry of variables.values()) {
        if (entry.point.line === message.line && entry.point.station === message.station) {
            show(entry);
        }
    }
}

// ---- certificates ------------------------------------------------------------

// A certificate file's DER bytes (PEM or DER on disk).
function derOf(file) {
    const bytes = fs.readFileSync(file);
    const pem = /-----BEGIN CERTIFICATE-----([\s\S]*?)-----END CERTIFICATE-----/.exec(bytes.toString("latin1"));
    return pem ? Buffer.from(pem[1].replace(/\s+/g, ""), "base64") : bytes;
}

function holds(folder, certificate) {
    let names = [];
    try {
        names = fs.readdirSync(folder);
    } catch (err) {
        return false;
    }
    return names.some((name) => {
        try {
            const der = derOf(path.join(folder, name));
            return der.length > 0 && certificate.subarray(0, der.length).equals(der);
        } catch (err) {
            return false;
        }
    });
}

// A client certificate the trust list does not hold lands in rejected/; the
// log says how to trust it. Whether it is trusted is read from the folders
// at every connection: the library's own view of them follows the files
// seconds late, and keeps a certificate rejected once it has seen it there
// even after `westnet-gateway opcua trust` moved it.
function reportRejections(certificateManager) {
    const trusted = path.join(certificateManager.rootDir, "trusted", "certs");
    const rejectedFolder = path.join(certificateManager.rootDir, "rejected");
    certificateManager._checkRejectedOrTrusted = async (certificate) => {
        if (holds(trusted, certificate)) {
            return "trusted";
        }
        return holds(rejectedFolder, certificate) ? "rejected" : "unknown";
    };
    const check = certificateManager.checkCertificate.bind(certificateManager);
    const rejected = path.join(certificateManager.rootDir, "rejected");
    certificateManager.checkCertificate = function checkCertificate(certificate, callback) {
        const done = (status) => {
            if (status === StatusCodes.BadCertificateUntrusted) {
                let newest = null;
                for (const name of fs.readdirSync(rejected)) {
                    const file = path.join(rejected, name);
                    const mtime = fs.statSync(file).mtimeMs;
                    if (!newest || mtime > newest.mtime) {
                        newest = { file, mtime };
                    }
                }
                if (newest) {
                    log("warning", `a client certificate is not trusted: ${newest.file}; ` +
                        `trust it with: westnet-gateway opcua trust ${newest.file}`);
                }
            }
            return status;
        };
        if (callback) {
            return check(certificate).then((s) => callback(null, done(s)), (e) => callback(e));
        }
        return check(certificate).then(done);
    };
}

// ---- start -------------------------------------------------------------------

async function start(config) {
    const colon = config.listen.lastIndexOf(":");
    let host = config.listen.slice(0, colon).replace(/^\[|\]$/g, "") || "127.0.0.1";
    const port = Number(config.listen.slice(colon + 1));
    const anyAddress = host === "0.0.0.0" || host === "::";
    const certificateManager = new OPCUACertificateManager({
        rootFolder: config.pki,
        automaticallyAcceptUnknownCertificate: config.trust_clients === "all",
    });
    await certificateManager.initialize();
    const userCertificates = new OPCUACertificateManager({
        rootFolder: path.join(config.pki, "users"),
        automaticallyAcceptUnknownCertificate: false,
    });
    reportRejections(certificateManager);
    const modes = [MessageSecurityMode.SignAndEncrypt];
    const policies = [SecurityPolicy.Basic256Sha256, SecurityPolicy.Aes256_Sha256_RsaPss];
    if (config.allow_none) {
        modes.push(MessageSecurityMode.None);
        policies.push(SecurityPolicy.None);
    }
    server = new OPCUAServer({
        host: anyAddress ? undefined : host,
        port,
        alternateHostname: anyAddress ? undefined : host,
        securityModes: modes,
        securityPolicies: policies,
        allowAnonymous: false,
        userManager,
        serverCertificateManager: certificateManager,
        // Never consulted (no user certificates are taken), but kept out of
        // the home folder.
        userCertificateManager: userCertificates,
        nodeset_filename: [nodesets.standard],
        isAuditing: false,
        serverInfo: {
            applicationUri: NAMESPACE,
            productUri: NAMESPACE,
            applicationName: { text: "westnet-gateway", locale: "en" },
        },
        buildInfo: { productName: "westnet-gateway", manufacturerName: "westnet" },
        serverCapabilities: {
            maxSessions: 100,
            maxSubscriptions: 200,
            maxMonitoredItems: 200000,
            maxMonitoredItemsPerSubscription: 100000,
            operationLimits: { maxMonitoredItemsPerCall: 20000, maxNodesPerRead: 20000, maxNodesPerBrowse: 20000 },
        },
    });
    await server.initialize();
    // User names and passwords only: a user certificate would sign in
    // without the gateway's users file.
    for (const endpoint of server.endpoints) {
        for (const d of endpoint.endpointDescriptions()) {
            d.userIdentityTokens = (d.userIdentityTokens || []).filter(
                (t) => t.tokenType === UserTokenType.UserName
            );
        }
    }
    return server;
}

let config = null;
let plant = null;
let started = false;

async function onPlant(message) {
    plant = message;
    if (!started) {
        started = true;
        log("info", `node ${process.version}, node-opcua-server ` +
            `${require("node-opcua-server/package.json").version}`);
        try {
            await start(config);
            buildAddressSpace(plant);
            await server.start();
            for (const endpoint of server.endpoints) {
                for (const d of endpoint.endpointDescriptions()) {
                    const none = d.securityMode === MessageSecurityMode.None;
                    log("info", `endpoint ${d.endpointUrl} ${MessageSecurityMode[d.securityMode]} ` +
                        `${d.securityPolicyUri.split("#")[1]}` +
                        (none && !config.allow_none ? " (finding the endpoints only: no session)" : ""));
                }
            }
        } catch (err) {
            log("error", `cannot start: ${err.message}`);
            process.exit(1);
        }
        return;
    }
    buildAddressSpace(plant);
}

// Messages are handled in order; the plant's may wait for the server.
let queue = Promise.resolve();
readline.createInterface({ input: link }).on("line", (line) => {
    let message;
    try {
        message = JSON.parse(line);
    } catch (err) {
        log("error", "the gateway sent a line that is not JSON");
        return;
    }
    queue = queue.then(async () => {
        switch (message.type) {
            case "config":
                config = message;
                break;
            case "plant":
                await onPlant(message);
                break;
            case "point":
                onPoint(message.point);
                break;
            case "station":
                onStation(message);
                break;
            case "reply": {
                const resolve = pending.get(message.id);
                pending.delete(message.id);
                if (resolve) {
                    resolve(message);
                }
                break;
            }
            default:
                break;
        }
    });
});

async function shutdown() {
    if (server) {
        try {
            await server.shutdown(500);
        } catch (err) {
            // leaving anyway
        }
    }
    process.exit(0);
}
process.on("SIGTERM", shutdown);
process.on("SIGINT", shutdown);
