// Line and device counters of the real program, read and subscribed by an independent OPC UA
// client: a copy of qora-opc-server started headless with its own qora.ini, two lines played by
// qora-sim on pseudo-terminals (one answering device and one address nobody answers on the first,
// an instrument with wrong checksums on the second).
//
// Exits 77 (skipped) when the program does not publish the point objects (ns=1;s=Point:0).
// Usage: node diagnostics_test.js BINARY_DIR
"use strict";
const assert = require("assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawn, spawnSync } = require("child_process");

const binDir = path.resolve(process.argv[2] || "build");
const harness = require("./program_harness");
const { waitFor, freePort, withTimeout } = harness;
const find = (name) => harness.find(binDir, name);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "qora-diag-"));
process.env.HOME = tmp;
process.env.XDG_CONFIG_HOME = path.join(tmp, "xdg-config");
const {
  OPCUAClient, AttributeIds, DataType, MessageSecurityMode, SecurityPolicy, StatusCodes, TimestampsToReturn,
} = require("node-opcua-client");

const children = [];
let client = null;
const overall = setTimeout(() => fail(new Error("diagnostics test ran past 150 s")), 150000);

function cleanup() {
  for (const c of children) { try { c.kill("SIGKILL"); } catch (e) { /* already gone */ } }
  fs.rmSync(tmp, { recursive: true, force: true });
}
function fail(err) {
  console.error("FAIL:", err && err.stack ? err.stack : err);
  cleanup();
  process.exit(1);
}
async function skip(why) {
  console.log(`SKIP: ${why}`);
  clearTimeout(overall);
  if (client) await client.disconnect().catch(() => {});
  cleanup();
  process.exit(77);
}
function startSim(sim, args, link) {
  const c = spawn(sim, ["--link", link, ...args], { stdio: ["ignore", "pipe", "inherit"] });
  children.push(c);
  return c;
}
// UInt64 values arrive as [high, low] pairs.
function num(v) {
  return Array.isArray(v) ? v[0] * 4294967296 + v[1] : v;
}

async function main() {
  const sim = find("qora-sim");
  const cfgTool = find("qora-cfg");
  const { install, exe, env } = harness.installProgram(binDir, tmp);
  const port = await freePort();
  const link1 = path.join(tmp, "ttySIM1");
  const link2 = path.join(tmp, "ttySIM2");
  fs.writeFileSync(path.join(install, "qora.ini"), [
    "[GENERAL]", "MAIN_CFG=", "",
    "[DEVICES]", "D0=Термометр", "", "[D_P]", "P0=0x01", "",
    "[PARAMETERS]", "P0=Температура", "",
    "[SERIALCOMM]", `SIM1=${link1}`, `SIM2=${link2}`, "",
    "[OPCUA]", "Host=127.0.0.1", `Port=${port}`, "",
  ].join("\n"));
  const cfgPath = path.join(tmp, "plant.cfg");
  const json = JSON.stringify({ points: [
    { name: "Адаптер_1", port: "SIM1", period: 0.1, active: true, devices: [
      { name: "Живой", type: 0, address: 1, parameters: [0] },
      { name: "Немой", type: 0, address: 3, parameters: [0] },
    ] },
    { name: "Адаптер_2", port: "SIM2", period: 0.1, active: true, devices: [
      { name: "Сбойный", type: 0, address: 1, parameters: [0] },
    ] },
  ] });
  const made = spawnSync(cfgTool, ["create", cfgPath], { input: json });
  assert.strictEqual(made.status, 0, `qora-cfg create failed: ${made.stderr}`);

  startSim(sim, ["--device", "1:0=const:1.5"], link1);
  const sim2 = startSim(sim, ["--device", "1:0=const:2.5", "--fault", "1:bad-checksum"], link2);
  await waitFor("the simulators' links", () => fs.existsSync(link1) && fs.existsSync(link2), 10000);

  children.push(spawn(exe, [`-f:${cfgPath}`], { env, cwd: tmp, stdio: ["ignore", "inherit", "inherit"] }));

  client = OPCUAClient.create({
    applicationName: "qora-diagnostics", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 50, initialDelay: 200, maxDelay: 500 },
  });
  await withTimeout(client.connect(`opc.tcp://127.0.0.1:${port}`), 30000, "connect");
  const session = await client.createSession();

  const probe = await session.read({ nodeId: "ns=1;s=Point:0", attributeId: AttributeIds.BrowseName });
  if (probe.statusCode.value === StatusCodes.BadNodeIdUnknown.value) {
    await session.close();
    return skip("the program publishes no point objects (ns=1;s=Point:0 unknown)");
  }
  assert.strictEqual(probe.statusCode.value, StatusCodes.Good.value, probe.statusCode.toString());

  const P = (p, name) => `ns=1;s=Point:${p}/Diagnostics/${name}`;
  const D = (p, d, name) => `ns=1;s=Point:${p}/Device:${d}/Diagnostics/${name}`;
  const read = async (nodeId) => {
    const dv = await session.read({ nodeId, attributeId: AttributeIds.Value });
    assert.strictEqual(dv.statusCode.value, StatusCodes.Good.value, `${nodeId}: ${dv.statusCode.toString()}`);
    return dv.value;
  };

  // Types as published.
  const types = [
    [P(0, "PortOpen"), DataType.Boolean], [P(0, "RequestsSent"), DataType.UInt64],
    [P(0, "BytesSent"), DataType.UInt64], [P(0, "BytesReceived"), DataType.UInt64],
    [P(0, "FramesReceived"), DataType.UInt64], [P(0, "FramesDroppedOnChecksum"), DataType.UInt64],
    [P(0, "BytesDiscarded"), DataType.UInt64], [P(0, "WriteTimeouts"), DataType.UInt64],
    [P(0, "OpenFailures"), DataType.UInt64], [P(0, "LastOpenError"), DataType.String],
    [D(0, 0, "RequestsSent"), DataType.UInt64], [D(0, 0, "GoodReplies"), DataType.UInt64],
    [D(0, 0, "RejectedReplies"), DataType.UInt64], [D(0, 0, "ConsecutiveUnanswered"), DataType.UInt32],
    [D(0, 0, "LastGoodReply"), DataType.DateTime], [D(0, 0, "LastReplyTimeMs"), DataType.UInt32],
  ];
  for (const [nodeId, type] of types) {
    const v = await read(nodeId);
    assert.strictEqual(v.dataType, type, `${nodeId}: ${DataType[v.dataType]}`);
  }

  // Requests to the silent device grow, and a subscription sees its unanswered count reach 4.
  const sub = await session.createSubscription2({ requestedPublishingInterval: 100, publishingEnabled: true,
    requestedMaxKeepAliveCount: 10, requestedLifetimeCount: 100 });
  const seen = {};
  const monitor = async (nodeId) => {
    const mi = await sub.monitor({ nodeId, attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
    mi.on("changed", (dv) => {
      if (dv.statusCode.value !== StatusCodes.Good.value) return;
      (seen[nodeId] = seen[nodeId] || []).push(dv.value.value);
    });
  };
  for (const id of [D(0, 1, "RequestsSent"), D(0, 1, "ConsecutiveUnanswered"), P(1, "FramesDroppedOnChecksum"),
    P(1, "PortOpen")]) await monitor(id);
  await waitFor("the silent device's count to reach 4", () =>
    (seen[D(0, 1, "ConsecutiveUnanswered")] || []).some((v) => v >= 4), 20000);
  // Counters are sampled once a second: the count may reach 4 before a second sample of the
  // requests arrives.
  await waitFor("a second sample of the silent device's requests", () =>
    (seen[D(0, 1, "RequestsSent")] || []).length >= 2, 10000);
  const requests = (seen[D(0, 1, "RequestsSent")] || []).map(num);
  assert.ok(requests.length >= 2 && requests[requests.length - 1] > requests[0],
    `requests to the silent device did not grow: ${requests}`);
  assert.strictEqual(num((await read(D(0, 1, "GoodReplies"))).value), 0);

  // The answering neighbour: good replies, a recent last good reply, a reply time.
  await waitFor("good replies", async () => num((await read(D(0, 0, "GoodReplies"))).value) >= 3, 10000);
  assert.ok((await read(D(0, 0, "ConsecutiveUnanswered"))).value <= 1);
  const last = (await read(D(0, 0, "LastGoodReply"))).value;
  assert.ok(last instanceof Date && Math.abs(Date.now() - last.getTime()) < 60000, `last good reply ${last}`);
  assert.ok((await read(D(0, 0, "LastReplyTimeMs"))).value < 5000);
  assert.strictEqual((await read(P(0, "PortOpen"))).value, true);
  assert.ok(num((await read(P(0, "RequestsSent"))).value) >= 4);

  // Wrong checksums: dropped frames grow on the second line, and no good reply comes.
  await waitFor("frames dropped on checksum to grow", () => {
    const v = (seen[P(1, "FramesDroppedOnChecksum")] || []).map(num);
    return v.length >= 2 && v[v.length - 1] > v[0] && v[v.length - 1] >= 3;
  }, 20000);
  assert.strictEqual(num((await read(D(1, 0, "GoodReplies"))).value), 0);
  assert.ok(num((await read(P(1, "FramesReceived"))).value) >= 3);

  // The simulator ends: its line hangs up, the port shows closed, and reopening fails.
  assert.ok((seen[P(1, "PortOpen")] || []).includes(true), "the second line was never open");
  sim2.kill("SIGTERM");
  await waitFor("the port to show closed", () => {
    const v = seen[P(1, "PortOpen")] || [];
    return v[v.length - 1] === false;
  }, 20000);
  await waitFor("an open failure", async () => num((await read(P(1, "OpenFailures"))).value) >= 1, 10000);
  const error = (await read(P(1, "LastOpenError"))).value;
  assert.ok(typeof error === "string" && error.length > 0, `last open error '${error}'`);
  assert.strictEqual((await read(P(0, "PortOpen"))).value, true, "the first line stays open");

  await sub.terminate();
  await session.close();
  await client.disconnect();
  console.log("diagnostics: all checks passed");
}

main().then(() => { clearTimeout(overall); cleanup(); process.exit(0); }, fail);
