// What node-opcua-client sees of the data-change trigger and of a secured channel request:
//  - a monitored item without a filter on a Bad item whose value never changes (only its source
//    timestamp, rewritten by every push) gets exactly one notification in 5 s; with a
//    STATUS_VALUE_TIMESTAMP filter it gets one per rewrite; with STATUS a changing Good item
//    gets one;
//  - an OpenSecureChannel for Basic256Sha256 (Sign and SignAndEncrypt) is refused with
//    BadSecurityPolicyRejected, and no channel is opened.
// Usage: node triggers.test.js <ua_test_host>
"use strict";
const assert = require("node:assert/strict");
const fs = require("node:fs");
const net = require("node:net");
const path = require("node:path");
const { execFileSync } = require("node:child_process");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, StatusCodes, TimestampsToReturn,
  ClientSubscription, ClientMonitoredItem, DataChangeFilter, DataChangeTrigger, DeadbandType,
} = require("node-opcua-client");
const { Host } = require("./host");

const PERIOD_MS = 200;  // the host rewrites every item this often
const overall = setTimeout(() => {
  console.error("FAIL: overall time-out");
  process.exit(1);
}, 90000);

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
function itemId(i) {
  const device = Math.floor(i / 10);
  const param = i === 1 ? 0 : i % 10;
  return `ns=1;s=Адаптер_1(COM1).Устройство${device}(T №${device + 1}).P${param}`;
}
const BAD_ITEM = 7;    // quality 8: Bad_NotConnected, value 9999999
const GOOD_ITEM = 3;   // quality 192, value changing every period

async function countNotifications(session, spans) {
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
  });
  await new Promise((resolve, reject) => {
    subscription.once("started", resolve);
    subscription.once("internal_error", reject);
  });
  const counts = {};
  const firsts = {};
  for (const [name, item, filter] of spans) {
    counts[name] = 0;
    const parameters = { samplingInterval: 100, discardOldest: true, queueSize: 10 };
    if (filter) parameters.filter = filter;
    const monitored = ClientMonitoredItem.create(subscription,
      { nodeId: itemId(item), attributeId: AttributeIds.Value }, parameters, TimestampsToReturn.Both);
    monitored.on("changed", (dv) => {
      counts[name]++;
      if (!firsts[name]) firsts[name] = dv;
    });
    monitored.on("err", (e) => { throw new Error(`${name}: ${e}`); });
  }
  await sleep(5000);
  await subscription.terminate();
  return { counts, firsts };
}

async function triggers(url) {
  const client = OPCUAClient.create({
    applicationName: "qora-trigger-test", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 }, keepSessionAlive: false,
  });
  await client.connect(url);
  const session = await client.createSession();
  const { counts, firsts } = await countNotifications(session, [
    ["no filter, constant Bad", BAD_ITEM, null],
    ["STATUS_VALUE_TIMESTAMP, constant Bad", BAD_ITEM, new DataChangeFilter({
      trigger: DataChangeTrigger.StatusValueTimestamp, deadbandType: DeadbandType.None, deadbandValue: 0 })],
    ["STATUS, changing Good", GOOD_ITEM, new DataChangeFilter({
      trigger: DataChangeTrigger.Status, deadbandType: DeadbandType.None, deadbandValue: 0 })],
    ["no filter, changing Good", GOOD_ITEM, null],
  ]);
  console.log("notifications in 5 s:", JSON.stringify(counts));
  assert.equal(counts["no filter, constant Bad"], 1, "a constant Bad value is reported once");
  assert.equal(firsts["no filter, constant Bad"].statusCode.value, StatusCodes.BadNotConnected.value);
  assert.equal(firsts["no filter, constant Bad"].value.value, 9999999);
  // One rewrite per period: about 25 in 5 s; generous bounds, the count is not a timing claim.
  assert.ok(counts["STATUS_VALUE_TIMESTAMP, constant Bad"] >= 10,
    "timestamps are reported when the client asks for them");
  assert.equal(counts["STATUS, changing Good"], 1, "STATUS ignores value changes");
  assert.ok(counts["no filter, changing Good"] >= 10, "value changes are reported without a filter");
  await session.close();
  await client.disconnect();
}

// A DER certificate to stand for the server's: the client needs one to sign and encrypt its
// request; our endpoint never gets as far as looking at it.
function makeServerCertificate(dir) {
  const key = path.join(dir, "server.key");
  const der = path.join(dir, "server.der");
  execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", der,
    "-outform", "DER", "-days", "2", "-subj", "/CN=qora-test-server",
    "-addext", "subjectAltName=URI:urn:qora:test,DNS:localhost,IP:127.0.0.1"],
  // The client's PKI code may have pointed OPENSSL_CONF at a file of its own.
  { stdio: ["ignore", "ignore", "pipe"], env: { ...process.env, OPENSSL_CONF: "" } });
  return fs.readFileSync(der);
}

// A loopback relay between the client and the endpoint that records the chunks the endpoint
// sends back (the client itself reports a refused channel only as a dropped connection).
function startRelay(port) {
  const seen = [];
  const server = net.createServer((client) => {
    const upstream = net.connect(port, "127.0.0.1");
    let pending = Buffer.alloc(0);
    client.on("data", (d) => upstream.write(d));
    upstream.on("data", (d) => {
      pending = Buffer.concat([pending, d]);
      while (pending.length >= 8 && pending.length >= pending.readUInt32LE(4)) {
        const size = pending.readUInt32LE(4);
        const type = pending.toString("latin1", 0, 3);
        const chunk = { type };
        if (type === "ERR" && size >= 16) {
          chunk.error = pending.readUInt32LE(8);
          const length = pending.readInt32LE(12);
          chunk.reason = length > 0 ? pending.toString("utf8", 16, 16 + length) : "";
        }
        seen.push(chunk);
        pending = pending.subarray(size);
      }
      client.write(d);
    });
    const end = () => { client.destroy(); upstream.destroy(); };
    client.on("close", end);
    upstream.on("close", end);
    client.on("error", end);
    upstream.on("error", end);
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve({ server, seen, port: server.address().port })));
}

async function securedOpen(port, host, mode, serverCertificate) {
  const before = host.calls("ChannelOpened");
  const relay = await startRelay(port);
  const client = OPCUAClient.create({
    applicationName: "qora-trigger-test", endpointMustExist: false,
    securityMode: mode, securityPolicy: SecurityPolicy.Basic256Sha256, serverCertificate,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 }, keepSessionAlive: false,
  });
  let error = null;
  try {
    await client.connect(`opc.tcp://127.0.0.1:${relay.port}`);
  } catch (e) {
    error = e;
  }
  await client.disconnect().catch(() => {});
  await new Promise((resolve) => relay.server.close(resolve));
  const name = MessageSecurityMode[mode];
  assert.ok(error, `${name}: the connection must be refused`);
  const types = relay.seen.map((c) => c.type);
  console.log(`${name}: endpoint sent ${JSON.stringify(relay.seen)}`);
  assert.deepEqual(types, ["ACK", "ERR"], `${name}: ACK to the HEL, then ERR to the OPN`);
  const err = relay.seen[1];
  assert.equal(err.error, StatusCodes.BadSecurityPolicyRejected.value, `${name}: 0x${err.error.toString(16)}`);
  assert.equal(err.error, 0x80550000);
  assert.equal(host.calls("ChannelOpened"), before, `${name}: no channel opened`);
}

async function main() {
  const host = new Host(process.argv[2], ["--items", "20", "--period-ms", String(PERIOD_MS), "--constant-bad", "--quiet"]);
  const port = await host.port();
  const url = `opc.tcp://127.0.0.1:${port}`;
  try {
    await triggers(url);
    const dir = fs.mkdtempSync(path.join(process.env.HOME || require("node:os").tmpdir(), "pki-"));
    try {
      const certificate = makeServerCertificate(dir);
      await securedOpen(port, host, MessageSecurityMode.SignAndEncrypt, certificate);
      await securedOpen(port, host, MessageSecurityMode.Sign, certificate);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  } finally {
    assert.equal(await host.quit(), 0);
  }
}

main().then(() => {
  clearTimeout(overall);
  console.log("PASS");
  process.exit(0);
}, (e) => {
  console.error("FAIL:", e && e.stack || e);
  process.exit(1);
});
