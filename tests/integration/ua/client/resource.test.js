// Resource limits seen by node-opcua-client: 200 connections that never send HEL are closed by
// the handshake time-out while the client keeps reading; a session flood stops at the limit with
// BadTooManySessions; CloseSession loops leave no subscriptions or active items behind; 100 idle
// channels that never create a session do not keep a client out.
// Usage: node resource.test.js <ua_test_host>
"use strict";
const assert = require("node:assert/strict");
const net = require("node:net");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, StatusCodes, ClientSubscription,
  ClientMonitoredItem, TimestampsToReturn,
} = require("node-opcua-client");
const { Host } = require("./host");

const overall = setTimeout(() => {
  console.error("FAIL: overall time-out");
  process.exit(1);
}, 150000);

const clientOptions = {
  applicationName: "qora-resource-test",
  endpointMustExist: false,
  securityMode: MessageSecurityMode.None,
  securityPolicy: SecurityPolicy.None,
  connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
  keepSessionAlive: false,
};

function itemId(i) {
  const device = Math.floor(i / 10);
  const param = i === 1 ? 0 : i % 10;
  return `ns=1;s=Адаптер_1(COM1).Устройство${device}(T №${device + 1}).P${param}`;
}

async function silentFlood(host, url, port) {
  const client = OPCUAClient.create(clientOptions);
  await client.connect(url);
  const session = await client.createSession();
  const nodes = [];
  for (let i = 2; i < 102; i++) nodes.push({ nodeId: itemId(i), attributeId: AttributeIds.Value });

  let closed = 0;
  const sockets = [];
  const start = Date.now();
  for (let i = 0; i < 200; i++) {
    const s = net.connect(port, "127.0.0.1");
    s.on("error", () => {});
    s.on("close", () => closed++);
    s.resume();  // consume the ERR, so the end of the stream is seen
    sockets.push(s);
  }
  let reads = 0;
  while (closed < 200) {
    const dvs = await session.read(nodes, 0);
    assert.equal(dvs.length, 100);
    assert.ok(dvs.every((dv) => dv.statusCode.isGood() || dv.statusCode.value === StatusCodes.BadNotConnected.value ||
      dv.statusCode.value === StatusCodes.BadNoCommunication.value));
    reads++;
    assert.ok(Date.now() - start < 15000, `only ${closed} of 200 silent connections closed`);
  }
  const elapsed = Date.now() - start;
  assert.ok(elapsed >= 900, `closed too early (${elapsed} ms)`);
  assert.ok(reads > 10, `the client kept reading (${reads} reads)`);
  console.log(`200 silent connections closed after ${elapsed} ms; ${reads} reads meanwhile`);
  await session.close();
  await client.disconnect();
}

async function sessionFlood(url) {
  const client = OPCUAClient.create(clientOptions);
  await client.connect(url);
  const sessions = [];
  let refusal = null;
  for (let i = 0; i < 20 && !refusal; i++) {
    try {
      sessions.push(await client.createSession());
    } catch (err) {
      refusal = err;
    }
  }
  assert.equal(sessions.length, 5, "sessions up to the limit");
  assert.ok(refusal && /BadTooManySessions/.test(String(refusal.message)), `refused with BadTooManySessions: ${refusal}`);
  for (const s of sessions) await s.close();
  await client.disconnect();
  console.log("session flood stopped at 5 with BadTooManySessions");
}

async function closeSessionLoops(host, url) {
  const client = OPCUAClient.create(clientOptions);
  await client.connect(url);
  for (let round = 0; round < 10; round++) {
    const session = await client.createSession();
    const sub = ClientSubscription.create(session, {
      requestedPublishingInterval: 100, requestedLifetimeCount: 100, requestedMaxKeepAliveCount: 10,
      maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
    });
    await new Promise((resolve, reject) => { sub.on("started", resolve); sub.on("error", reject); });
    for (let i = 0; i < 10; i++) {
      ClientMonitoredItem.create(sub, { nodeId: itemId(i), attributeId: AttributeIds.Value },
        { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    }
    await new Promise((r) => setTimeout(r, 150));
    await session.close(true);
  }
  await client.disconnect();
  const stats = await host.stats();
  assert.equal(stats.sessions, 0, "no session left");
  assert.equal(stats.active, 0, "no active item left");
  console.log("10 CloseSession loops left no subscriptions or active items");
}

// HEL and OPN (SecurityPolicy None) of a raw channel that never creates a session.
function helloAndOpen(url) {
  const u32 = (v) => { const b = Buffer.alloc(4); b.writeUInt32LE(v >>> 0); return b; };
  const str = (s) => (s === null ? u32(0xffffffff) : Buffer.concat([u32(Buffer.byteLength(s)), Buffer.from(s)]));
  const frame = (type, body) => Buffer.concat([Buffer.from(type), u32(body.length + 8), body]);
  const hel = frame("HELF", Buffer.concat([u32(0), u32(65535), u32(65535), u32(0), u32(0), str(url)]));
  const opn = frame("OPNF", Buffer.concat([
    u32(0), str("http://opcfoundation.org/UA/SecurityPolicy#None"), str(null), str(null), u32(1), u32(1),
    Buffer.from([0x01, 0x00, 446 & 0xff, 446 >> 8]),  // OpenSecureChannelRequest
    Buffer.from([0x00, 0x00]), Buffer.alloc(8), u32(1), u32(0), str(null), u32(10000), Buffer.from([0, 0, 0]),
    u32(0), u32(0), u32(1), str(null), u32(600000),
  ]));
  return { hel, opn };
}

// 100 channels opened with HEL+OPN and no session (from ten loopback addresses) fill a table of
// 100; a client still connects and reads within 2 s.
async function idleChannels(hostPath) {
  const host = new Host(hostPath, ["--items", "10", "--quiet", "--max-channels", "100"]);
  const port = await host.port();
  const url = `opc.tcp://127.0.0.1:${port}`;
  const { hel, opn } = helloAndOpen(url);
  const sockets = [];
  const results = [];
  // Ten at a time: more unfinished handshakes at once would push the oldest out.
  for (let batch = 0; batch < 10; batch++) {
    const opened = [];
    for (let i = batch * 10; i < batch * 10 + 10; i++) opened.push(new Promise((resolve) => {
      const s = net.connect({ port, host: "127.0.0.1", localAddress: `127.0.0.${2 + (i % 10)}` });
      let seen = Buffer.alloc(0);
      s.on("error", () => resolve(false));
      s.on("close", () => resolve(false));
      s.on("connect", () => s.write(hel));
      s.on("data", (d) => {
        seen = Buffer.concat([seen, d]);
        if (seen.length >= 8 && seen.toString("latin1", 0, 3) === "ACK" && seen.length >= seen.readUInt32LE(4)) {
          seen = seen.subarray(seen.readUInt32LE(4));
          s.write(opn);
        }
        if (seen.length >= 3 && seen.toString("latin1", 0, 3) === "OPN") resolve(true);
      });
      sockets.push(s);
    }));
    results.push(...(await Promise.all(opened)));
  }
  assert.equal(results.filter((r) => r).length, 100, "100 idle channels opened");
  const start = Date.now();
  const client = OPCUAClient.create({ ...clientOptions, connectionStrategy: { maxRetry: 5, initialDelay: 100, maxDelay: 200 } });
  await client.connect(url);
  const session = await client.createSession();
  const dv = await session.read({ nodeId: itemId(0), attributeId: AttributeIds.Value });
  const elapsed = Date.now() - start;
  assert.ok(dv.statusCode !== undefined);
  assert.ok(elapsed < 2000, `connected and read after ${elapsed} ms`);
  console.log(`with 100 idle channels a client connected and read in ${elapsed} ms`);
  await session.close();
  await client.disconnect();
  for (const s of sockets) s.destroy();
  assert.equal(await host.quit(), 0);
}

async function main() {
  const hostPath = process.argv[2];
  const host = new Host(hostPath, ["--items", "200", "--quiet", "--handshake-ms", "1000", "--max-channels", "300",
    "--max-sessions", "5"]);
  const port = await host.port();
  const url = `opc.tcp://127.0.0.1:${port}`;
  await silentFlood(host, url, port);
  await sessionFlood(url);
  await closeSessionLoops(host, url);
  assert.equal(await host.quit(), 0);
  await idleChannels(hostPath);
  console.log("PASS resource");
}

main().then(() => { clearTimeout(overall); process.exit(0); }, (err) => {
  console.error("FAIL:", err && err.stack || err);
  process.exit(1);
});
