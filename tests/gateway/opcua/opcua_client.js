// The OPC UA client of the end-to-end test (node-opcua-client): one command
// a run, its findings on stdout as JSON lines, for the shell to check.
//
// Loading the library takes seconds: each command does as much as it can.
//
//   node opcua_client.js COMMAND URL [OPTIONS] [ARGS]
//     tour NODEID N S         every variable under Objects/westnet (path, nodeId, type,
//                             unit, range, status, value), then {"distinct":K}: the
//                             values a subscription to NODEID saw, N at most, within S s
//     read NODEID...          status, type and value of each
//     write (NODEID TYPE VALUE)...  each write's status (TYPE Float, Double, UInt16, Boolean);
//                             a triple "pause READY GO" touches READY, then waits for GO
//                             (30 s at most) in the same session
//     status NODEID STATUS S  reads until the status is STATUS, within S s
//     session                 whether a session opens (with --user or anonymous)
//     refusals                {"anonymous":..,"wrong_password":..,"none":..}: whether
//                             each session opens or what refused it
//     guess N                 N sessions with a wrong password, then one with --password:
//                             {"wrong":[...],"right":...}, each "opened" or what refused it
//     survive NODEID S READY  a subscription that outlives the server's restart:
//                             touches READY once subscribed, "ok" after a value
//                             seen after the connection came back
//   OPTIONS: --user NAME --password PW (none: anonymous); --none (the endpoint
//   without security); --pki DIR (the client's own certificate)
"use strict";

const fs = require("fs");
const path = require("path");
const {
    OPCUAClient,
    MessageSecurityMode,
    SecurityPolicy,
    AttributeIds,
    UserTokenType,
    TimestampsToReturn,
    DataType,
    BrowseDirection,
    NodeClass,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const args = process.argv.slice(2);
const options = { user: null, password: null, none: false, pki: null };
const rest = [];
for (let i = 0; i < args.length; ++i) {
    if (args[i] === "--user") options.user = args[++i];
    else if (args[i] === "--password") options.password = args[++i];
    else if (args[i] === "--none") options.none = true;
    else if (args[i] === "--pki") options.pki = args[++i];
    else rest.push(args[i]);
}
const [command, url, ...params] = rest;

function out(object) {
    process.stdout.write(JSON.stringify(object) + "\n");
}

function makeClient(extra = {}) {
    const clientCertificateManager = new OPCUACertificateManager({
        rootFolder: options.pki || path.join(require("os").tmpdir(), "westnet-opcua-client-pki"),
        automaticallyAcceptUnknownCertificate: true,
    });
    return OPCUAClient.create({
        applicationName: "westnet-e2e",
        applicationUri: "urn:westnet:e2e-client",
        securityMode: options.none ? MessageSecurityMode.None : MessageSecurityMode.SignAndEncrypt,
        securityPolicy: options.none ? SecurityPolicy.None : SecurityPolicy.Basic256Sha256,
        endpointMustExist: false,
        clientCertificateManager,
        connectionStrategy: { maxRetry: 2, initialDelay: 200, maxDelay: 1000 },
        ...extra,
    });
}

function identity() {
    return options.user
        ? { type: UserTokenType.UserName, userName: options.user, password: options.password }
        : { type: UserTokenType.Anonymous };
}

async function withSession(action, extra) {
    const client = makeClient(extra);
    await client.connect(url);
    try {
        const session = await client.createSession(identity());
        try {
            return await action(session, client);
        } finally {
            await session.close().catch(() => {});
        }
    } finally {
        await client.disconnect().catch(() => {});
    }
}

async function browseAll(session, nodeId, prefix, found) {
    const result = await session.browse({
        nodeId,
        browseDirection: BrowseDirection.Forward,
        referenceTypeId: "HierarchicalReferences",
        includeSubtypes: true,
        resultMask: 63,
    });
    for (const ref of result.references || []) {
        const name = ref.browseName.name;
        const id = ref.nodeId.toString();
        if (ref.nodeClass === NodeClass.Variable) {
            if (ref.typeDefinition && ref.typeDefinition.value === 68) {
                continue; // a property (EURange, EngineeringUnits)
            }
            found.push({ path: `${prefix}/${name}`, nodeId: id });
        } else if (ref.nodeClass === NodeClass.Object) {
            await browseAll(session, ref.nodeId, `${prefix}/${name}`, found);
        }
    }
    return found;
}

async function property(session, nodeId, name) {
    const r = await session.translateBrowsePath({
        startingNode: nodeId,
        relativePath: { elements: [{ targetName: { namespaceIndex: 0, name }, isInverse: false, includeSubtypes: true,
            referenceTypeId: "ns=0;i=46" }] },
    });
    if (!r.targets || r.targets.length === 0) {
        return null;
    }
    const v = await session.read({ nodeId: r.targets[0].targetId, attributeId: AttributeIds.Value });
    return v.value.value;
}

async function describe(session, nodeId) {
    const [value, dataType, access, sampling] = await session.read([
        { nodeId, attributeId: AttributeIds.Value },
        { nodeId, attributeId: AttributeIds.DataType },
        { nodeId, attributeId: AttributeIds.AccessLevel },
        { nodeId, attributeId: AttributeIds.MinimumSamplingInterval },
    ]);
    const unit = await property(session, nodeId, "EngineeringUnits");
    const range = await property(session, nodeId, "EURange");
    let v = value.value.value;
    if (v && typeof v === "object" && v.length !== undefined) {
        v = Array.from(v);
    }
    return {
        nodeId,
        status: value.statusCode.name,
        type: DataType[dataType.value.value.value],
        value: v,
        unit: unit ? unit.displayName.text : null,
        range: range ? [range.low, range.high] : null,
        writable: (access.value.value & 2) === 2,
        sampling: sampling.value.value,
        source: value.sourceTimestamp ? value.sourceTimestamp.toISOString() : null,
    };
}

// How many distinct values a subscription to nodeId sees, `count` at most,
// within `seconds`.
async function distinctChanges(session, nodeId, count, seconds) {
    const subscription = await session.createSubscription2({
        requestedPublishingInterval: 100,
        requestedMaxKeepAliveCount: 20,
        publishingEnabled: true,
    });
    const seen = new Set();
    const item = await subscription.monitor(
        { nodeId, attributeId: AttributeIds.Value },
        { samplingInterval: 0, queueSize: 10, discardOldest: true },
        TimestampsToReturn.Both
    );
    await new Promise((resolve) => {
        const timer = setTimeout(resolve, Number(seconds) * 1000);
        item.on("changed", (dv) => {
            seen.add(JSON.stringify(dv.value.value));
            if (seen.size >= Number(count)) {
                clearTimeout(timer);
                resolve();
            }
        });
    });
    await subscription.terminate();
    return seen.size;
}

const commands = {
    async tour() {
        await withSession(async (session) => {
            const found = await browseAll(session, "ns=0;i=85", "Objects", []);
            for (const f of found.filter((x) => x.path.startsWith("Objects/westnet/"))) {
                out({ ...f, ...(await describe(session, f.nodeId)) });
            }
            out({ distinct: await distinctChanges(session, ...params) });
        });
    },
    async refusals() {
        const attempt = async (setup) => {
            const saved = { ...options };
            setup();
            try {
                await withSession(async () => {});
                return "opened";
            } catch (err) {
                return String(err.message).split("\n")[0];
            } finally {
                Object.assign(options, saved);
            }
        };
        const user = options.user;
        out({
            anonymous: await attempt(() => { options.user = null; }),
            wrong_password: await attempt(() => { options.password = "wrong"; }),
            none: await attempt(() => { options.none = true; options.user = user; }),
        });
    },
    async read() {
        await withSession(async (session) => {
            for (const nodeId of params) {
                out(await describe(session, nodeId));
            }
        });
    },
    async write() {
        await withSession(async (session) => {
            for (let i = 0; i + 2 < params.length; i += 3) {
                const [nodeId, type, text] = params.slice(i, i + 3);
                if (nodeId === "pause") {
                    fs.writeFileSync(type, "paused\n");
                    for (let waited = 0; waited < 300 && !fs.existsSync(text); ++waited) {
                        await new Promise((r) => setTimeout(r, 100));
                    }
                    continue;
                }
                const value = type === "Boolean" ? text === "true" : Number(text);
                const status = await session.write({
                    nodeId,
                    attributeId: AttributeIds.Value,
                    value: { value: { dataType: DataType[type], value } },
                });
                out({ nodeId, status: status.name });
            }
        });
    },
    async status() {
        const [nodeId, want, seconds] = params;
        await withSession(async (session) => {
            const deadline = Date.now() + Number(seconds) * 1000;
            let last = null;
            while (Date.now() < deadline) {
                const dv = await session.read({ nodeId, attributeId: AttributeIds.Value });
                last = dv.statusCode.name;
                if (last === want) {
                    break;
                }
                await new Promise((r) => setTimeout(r, 200));
            }
            out({ nodeId, status: last });
        });
    },
    async guess() {
        const attempt = async () => {
            try {
                await withSession(async () => {});
                return "opened";
            } catch (err) {
                return String(err.message).split("\n")[0];
            }
        };
        const right = options.password;
        const wrong = [];
        options.password = "a wrong guess";
        for (let i = 0; i < Number(params[0]); ++i) {
            wrong.push(await attempt());
        }
        options.password = right;
        out({ wrong, right: await attempt() });
    },
    async session() {
        try {
            await withSession(async () => {});
            out({ session: "opened" });
        } catch (err) {
            out({ session: "refused", error: String(err.message).split("\n")[0] });
        }
    },
    async survive() {
        const [nodeId, seconds, ready] = params;
        const client = makeClient({ connectionStrategy: { maxRetry: 100, initialDelay: 200, maxDelay: 1000 } });
        let lost = false;
        client.on("connection_lost", () => {
            lost = true;
            out({ event: "connection_lost" });
        });
        client.on("connection_reestablished", () => out({ event: "connection_reestablished" }));
        await client.connect(url);
        const session = await client.createSession(identity());
        const subscription = await session.createSubscription2({
            requestedPublishingInterval: 100,
            requestedMaxKeepAliveCount: 10,
            requestedLifetimeCount: 100,
            publishingEnabled: true,
        });
        const item = await subscription.monitor(
            { nodeId, attributeId: AttributeIds.Value },
            { samplingInterval: 0, queueSize: 10, discardOldest: true },
            TimestampsToReturn.Both
        );
        const ok = await new Promise((resolve) => {
            const timer = setTimeout(() => resolve(false), Number(seconds) * 1000);
            let first = true;
            item.on("changed", (dv) => {
                if (first) {
                    first = false;
                    fs.writeFileSync(ready, "subscribed\n");
                }
                if (lost && dv.statusCode.isGood()) {
                    out({ event: "value after reconnection", value: dv.value.value });
                    clearTimeout(timer);
                    resolve(true);
                }
            });
        });
        out({ survived: ok });
        await client.disconnect().catch(() => {});
    },
};

const run = commands[command];
if (!run || !url) {
    process.stderr.write("usage: opcua_client.js tour|read|write|status|session|refusals|guess|survive URL ...\n");
    process.exit(2);
}
run().then(
    () => process.exit(0),
    (err) => {
        out({ error: String(err.message).split("\n")[0] });
        process.exit(1);
    }
);
