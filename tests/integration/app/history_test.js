// The real program's kept values read back by an independent OPC UA client: a copy of
// qora-opc-server started headless with [HISTORY] Enabled=1, one device played by qora-sim on a
// pseudo-terminal with a ramp. The item is Historizing with HistoryRead access, the server
// announces raw history, and HistoryRead gives the ramp in time order, backwards, and in pages
// joined by continuation points.
// Usage: node history_test.js BINARY_DIR
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
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "qora-history-"));
process.env.HOME = tmp;
process.env.XDG_CONFIG_HOME = path.join(tmp, "xdg-config");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, StatusCodes, TimestampsToReturn,
  HistoryReadRequest, ReadRawModifiedDetails,
} = require("node-opcua-client");

const children = [];
const overall = setTimeout(() => fail(new Error("history test ran past 150 s")), 150000);

function cleanup() {
  for (const c of children) { try { c.kill("SIGKILL"); } catch (e) { /* already gone */ } }
  fs.rmSync(tmp, { recursive: true, force: true });
}
function fail(err) {
  console.error("FAIL:", err && err.stack ? err.stack : err);
  cleanup();
  process.exit(1);
}

async function main() {
  const sim = find("qora-sim");
  const cfgTool = find("qora-cfg");
  const { install, exe, env } = harness.installProgram(binDir, tmp);
  const port = await freePort();
  const link = path.join(tmp, "ttySIM1");
  fs.writeFileSync(path.join(install, "qora.ini"), [
    "[GENERAL]", "MAIN_CFG=", "",
    "[DEVICES]", "D0=Термометр", "", "[D_P]", "P0=0x01", "",
    "[PARAMETERS]", "P0=Температура", "",
    "[SERIALCOMM]", `SIM1=${link}`, "",
    "[OPCUA]", "Host=127.0.0.1", `Port=${port}`, "",
    "[HISTORY]", "Enabled=1", "File=history.db", "",
  ].join("\n"));
  const cfgPath = path.join(tmp, "plant.cfg");
  const json = JSON.stringify({ points: [
    { name: "Адаптер_1", port: "SIM1", period: 0.1, active: true, devices: [
      { name: "Живой", type: 0, address: 1, parameters: [0] },
    ] },
  ] });
  const made = spawnSync(cfgTool, ["create", cfgPath], { input: json });
  assert.strictEqual(made.status, 0, `qora-cfg create failed: ${made.stderr}`);
  children.push(spawn(sim, ["--link", link, "--device", "1:0=ramp:0:100000:1"], { stdio: ["ignore", "pipe", "inherit"] }));
  await waitFor("the simulator's link", () => fs.existsSync(link), 10000);
  children.push(spawn(exe, [`-f:${cfgPath}`], { env, cwd: tmp, stdio: ["ignore", "inherit", "inherit"] }));

  const client = OPCUAClient.create({
    applicationName: "qora-history", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 50, initialDelay: 200, maxDelay: 500 },
  });
  await withTimeout(client.connect(`opc.tcp://127.0.0.1:${port}`), 30000, "connect");
  const session = await client.createSession();
  const item = "ns=1;s=Адаптер_1(SIM1).Живой(Термометр №1).Температура";

  // The item keeps its values, and the server says it serves them raw.
  const attrs = await session.read([AttributeIds.Historizing, AttributeIds.AccessLevel, AttributeIds.UserAccessLevel]
    .map((attributeId) => ({ nodeId: item, attributeId })));
  for (const dv of attrs) assert.strictEqual(dv.statusCode.value, StatusCodes.Good.value, dv.statusCode.toString());
  assert.strictEqual(attrs[0].value.value, true, "Historizing");
  for (const dv of attrs.slice(1)) assert.strictEqual(dv.value.value & 0x05, 0x05, `access level ${dv.value.value}`);
  // AccessHistoryDataCapability, MaxReturnDataValues, InsertDataCapability, MaxNodesPerHistoryReadData.
  const caps = await session.read(["i=11193", "i=11273", "i=11196", "i=12165"]
    .map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })));
  assert.deepStrictEqual(caps.map((dv) => dv.value.value), [true, 10000, false, 1000]);

  // The ramp advances once a push; wait until a few pushes are kept.
  const from = new Date(Date.now() - 60000);
  const readAll = async () => {
    const until = new Date(Date.now() + 1000);
    const r = await session.readHistoryValue(item, from, until, { returnBounds: false });
    // Nothing kept yet is GoodNoData.
    assert.ok([StatusCodes.Good.value, StatusCodes.GoodNoData.value].includes(r.statusCode.value), r.statusCode.toString());
    return { until, values: r.historyData ? r.historyData.dataValues : [] };
  };
  const { until, values } = await waitFor("six kept values", async () => {
    const got = await readAll();
    return got.values.length >= 6 ? got : null;
  }, 30000);
  const times = values.map((dv) => dv.sourceTimestamp.getTime());
  for (let i = 1; i < values.length; ++i) assert.ok(times[i] > times[i - 1], `times not increasing at ${i}: ${times}`);
  for (const dv of values) assert.ok(dv.serverTimestamp instanceof Date, "both timestamps asked for");
  // Before the first reply the item may be kept with a bad quality; the replies' values go up.
  const ramp = values.filter((dv) => dv.statusCode.value === StatusCodes.Good.value).map((dv) => dv.value.value);
  assert.ok(ramp.length >= 4, `good kept values: ${ramp}`);
  for (let i = 1; i < ramp.length; ++i) assert.ok(ramp[i] > ramp[i - 1], `the ramp goes up: ${ramp}`);

  // Backwards: end before start gives the same values newest first.
  const back = await session.readHistoryValue(item, until, from, { returnBounds: false });
  const backTimes = back.historyData.dataValues.map((dv) => dv.sourceTimestamp.getTime());
  assert.deepStrictEqual(backTimes.filter((t) => t <= times[times.length - 1]), [...times].reverse());

  // Pages of two joined by continuation points: the same values, none twice; a released point is
  // no longer valid.
  const details = new ReadRawModifiedDetails({ isReadModified: false, startTime: from,
    endTime: new Date(times[times.length - 1] + 1), numValuesPerNode: 2, returnBounds: false });
  const paged = [];
  let cp = null;
  for (let guard = 0; guard < 1000; ++guard) {
    const response = await session.historyRead(new HistoryReadRequest({
      historyReadDetails: details, timestampsToReturn: TimestampsToReturn.Source, releaseContinuationPoints: false,
      nodesToRead: [{ nodeId: item, continuationPoint: cp }],
    }));
    const result = response.results[0];
    assert.strictEqual(result.statusCode.value, StatusCodes.Good.value, result.statusCode.toString());
    const page = result.historyData.dataValues;
    assert.ok(page.length <= 2);
    for (const dv of page) {
      assert.strictEqual(dv.serverTimestamp, null, "only the source timestamp asked for");
      paged.push(dv.sourceTimestamp.getTime());
    }
    cp = result.continuationPoint;
    if (!cp || cp.length === 0) break;
  }
  assert.deepStrictEqual(paged, times);

  const first = await session.historyRead(new HistoryReadRequest({
    historyReadDetails: details, timestampsToReturn: TimestampsToReturn.Both, releaseContinuationPoints: false,
    nodesToRead: [{ nodeId: item }],
  }));
  const point = first.results[0].continuationPoint;
  assert.ok(point && point.length > 0, "a continuation point for more than two values");
  await session.historyRead(new HistoryReadRequest({
    historyReadDetails: details, timestampsToReturn: TimestampsToReturn.Both, releaseContinuationPoints: true,
    nodesToRead: [{ nodeId: item, continuationPoint: point }],
  }));
  const stale = await session.historyRead(new HistoryReadRequest({
    historyReadDetails: details, timestampsToReturn: TimestampsToReturn.Both, releaseContinuationPoints: false,
    nodesToRead: [{ nodeId: item, continuationPoint: point }],
  }));
  assert.strictEqual(stale.results[0].statusCode.value, StatusCodes.BadContinuationPointInvalid.value);

  // Bounds of a domain before the first value: a missing bound, then the first values.
  const early = await session.readHistoryValue(item, new Date(times[0] - 3600000), new Date(times[1] + 1),
    { returnBounds: true });
  const dvs = early.historyData.dataValues;
  assert.strictEqual(dvs[0].statusCode.value, StatusCodes.BadBoundNotFound.value, dvs[0].statusCode.toString());
  assert.deepStrictEqual(dvs.slice(1, 3).map((dv) => dv.sourceTimestamp.getTime()), times.slice(0, 2));

  await session.close();
  await client.disconnect();
  console.log(`history: ${values.length} kept values read, all checks passed`);
}

main().then(() => { clearTimeout(overall); cleanup(); process.exit(0); }, fail);
