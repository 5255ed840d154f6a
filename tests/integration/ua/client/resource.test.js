// Resource limits seen by node-opcua-client: 200 connections that never send HEL are closed by
// the handshake time-out while the client keeps reading; a session flood stops at the limit with
// BadTooManySessions; CloseSession loops leave no subscriptions or active items behind.
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
  console.log("PASS resource");
}

main().then(() => { clearTimeout(overall); process.exit(0); }, (err) => {
  console.error("FAIL:", err && err.stack || err);
  process.exit(1);
});
