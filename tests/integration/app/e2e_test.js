// End-to-end test of the real program: a copy of qora-opc-server started headless in a
// temporary directory with its own qora.ini and a configuration given by "-f:", qora-sim
// answering on a pseudo-terminal, and an independent OPC UA client reading the items.
//
// Usage: node e2e_test.js BINARY_DIR
"use strict";
const assert = require("assert");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawn, spawnSync } = require("child_process");

const binDir = path.resolve(process.argv[2] || "build");
const harness = require("./program_harness");
const { sleep, waitFor, freePort, withTimeout } = harness;
const find = (name) => harness.find(binDir, name);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "qora-e2e-"));
process.env.HOME = tmp;
process.env.XDG_CONFIG_HOME = path.join(tmp, "xdg-config");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, TimestampsToReturn,
} = require("node-opcua-client");

const children = [];
const overall = setTimeout(() => fail(new Error("end-to-end test ran past 240 s")), 240000);

function fail(err) {
  console.error("FAIL:", err && err.stack ? err.stack : err);
  cleanup();
  process.exit(1);
}
function cleanup() {
  for (const c of children) { try { c.kill("SIGKILL"); } catch (e) { /* already gone */ } }
}
function exited(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) resolve(child.exitCode);
    else child.once("exit", (code) => resolve(code));
  });
}
function readIni(file) { return fs.readFileSync(file, "utf8"); }

const GOOD = 0x00000000, BAD_NOT_CONNECTED = 0x808a0000, BAD_NO_COMMUNICATION = 0x80310000;

async function main() {
  const sim = find("qora-sim");
  const cfgTool = find("qora-cfg");
  const { install, runtime, exe, env } = harness.installProgram(binDir, tmp);
  const port = await freePort();
  const link = path.join(tmp, "ttySIM1");
  fs.writeFileSync(path.join(install, "qora.ini"), [
    "[GENERAL]", "MAIN_CFG=", "",
    "[DEVICES]", "D0=Термометр", "", "[D_P]", "P0=0x0F", "",
    "[PARAMETERS]", "P0=Температура", "P1=Давление", "P2=", "P3=Расход", "",
    "[SERIALCOMM]", `SIM1=${link}`, "",
    "[OPCUA]", "Host=127.0.0.1", `Port=${port}`, "",
  ].join("\n"));
  const cfgPath = path.join(tmp, "plant.cfg");
  const json = JSON.stringify({ points: [{ name: "Адаптер_1", port: "SIM1", period: 0.2, active: true, devices: [
    { name: "Живой", type: 0, address: 1, parameters: [0, 1] },
    { name: "Умолкший", type: 0, address: 2, parameters: [0] },
    { name: "Немой", type: 0, address: 254, parameters: [2, 3] },
  ] }] });
  const made = spawnSync(cfgTool, ["create", cfgPath], { input: json });
  assert.strictEqual(made.status, 0, `qora-cfg create failed: ${made.stderr}`);

  const simProc = spawn(sim, ["--link", link, "--device", "1:0=ramp:0:1000:1,1=const:2.5",
    "--device", "2:0=const:7", "--fault", "2:silent-after:6", "--fault", "254:silent"],
    { stdio: ["ignore", "pipe", "inherit"] });
  children.push(simProc);
  await waitFor("the simulator's link", () => fs.existsSync(link), 10000);

  const start = (args) => {
    const c = spawn(exe, args, { env, cwd: tmp, stdio: ["ignore", "inherit", "inherit"] });
    children.push(c);
    return c;
  };
  const t0 = Date.now();
  const first = start([`-f:${cfgPath}`]);
  const url = `opc.tcp://127.0.0.1:${port}`;

  const client = OPCUAClient.create({
    applicationName: "qora-e2e", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 50, initialDelay: 200, maxDelay: 500 },
  });
  await withTimeout(client.connect(url), 30000, "connect");
  const session = await client.createSession();

  const ids = {
    live0: "Адаптер_1(SIM1).Живой(Термометр №1).Температура",
    live1: "Адаптер_1(SIM1).Живой(Термометр №1).Давление",
    fading: "Адаптер_1(SIM1).Умолкший(Термометр №2).Температура",
    mute2: "Адаптер_1(SIM1).Немой(Термометр №254).",
    mute3: "Адаптер_1(SIM1).Немой(Термометр №254).Расход",
  };
  // Every item is found under its point and device, by its exact item ID.
  const names = [];
  const walk = async (nodeId, depth) => {
    for (const r of (await session.browse(nodeId)).references) {
      if (!r.isForward || r.nodeId.namespace !== 1) continue;
      if (depth === 2) names.push(String(r.nodeId.value));
      else if (String(r.nodeId.value).startsWith("Point:") && !String(r.nodeId.value).endsWith("/Diagnostics"))
        await walk(r.nodeId, depth + 1);
    }
  };
  await walk("ns=0;i=85", 0);
  for (const id of Object.values(ids)) assert.ok(names.includes(id), `item ${id} not under its device: ${names}`);
  const node = (id) => `ns=1;s=${id}`;
  const read = async (id, maxAge) => session.read({ nodeId: node(id), attributeId: AttributeIds.Value }, maxAge);

  // Good values that follow the simulator, from the cache and from the device.
  const v1 = await waitFor("a good constant", async () => {
    const dv = await read(ids.live1, 10000);
    return dv.statusCode.value === GOOD && dv.value.value === 2.5 ? dv : null;
  }, 15000);
  assert.ok(v1.sourceTimestamp instanceof Date);
  const r1 = (await read(ids.live0, 0)).value.value;
  await sleep(1500);
  const r2 = (await read(ids.live0, 0)).value.value;
  assert.ok(r2 > r1, `ramp did not advance: ${r1} then ${r2}`);

  // Bad_NoCommunication after the device falls silent; Bad_NotConnected for the one that never answered.
  await waitFor("Bad_NoCommunication", async () =>
    (await read(ids.fading, 0)).statusCode.value === BAD_NO_COMMUNICATION, 20000);
  const fadedAt = Date.now() - t0;
  assert.strictEqual((await read(ids.fading, 0)).value.value, 7, "a silent device keeps its last value");
  console.log(`Bad_NoCommunication after ${fadedAt} ms`);
  for (const id of [ids.mute2, ids.mute3]) {
    const dv = await read(id, 0);
    assert.strictEqual(dv.statusCode.value, BAD_NOT_CONNECTED, `${id}: ${dv.statusCode.toString()}`);
    assert.strictEqual(dv.value.value, 9999999.0);
  }

  // MAIN_CFG names the "-f:" file.
  assert.ok(readIni(path.join(install, "qora.ini")).includes(`MAIN_CFG=${cfgPath}`), "MAIN_CFG not recorded");

  // A second start ends at once with 0 while the first keeps serving.
  const second = start([`-f:${cfgPath}`]);
  assert.strictEqual(await withTimeout(exited(second), 10000, "second start"), 0);
  assert.strictEqual(first.exitCode, null, "the first instance ended");
  assert.strictEqual((await read(ids.live1, 0)).statusCode.value, GOOD);

  // SIGHUP restarts: a new process serves MAIN_CFG on the same port while the old one ends.
  const status = (v) => session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
  await client.disconnect();
  first.kill("SIGHUP");
  assert.strictEqual(await withTimeout(exited(first), 20000, "restart of the old process"), 0);
  const client2 = OPCUAClient.create({
    applicationName: "qora-e2e-2", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 100, initialDelay: 200, maxDelay: 500 },
  });
  await withTimeout(client2.connect(url), 40000, "connect after restart");
  const s2 = await client2.createSession();
  await waitFor("values after the restart", async () => {
    const dv = await s2.read({ nodeId: node(ids.live1), attributeId: AttributeIds.Value }, 0);
    return dv.statusCode.value === GOOD && dv.value.value === 2.5;
  }, 20000);
  const lockFile = path.join(runtime, "QORA_OPC_SERVERxkqpwmzrtvbn48213.lock");

  // SIGTERM with a client connected: it sees the shutdown reason, the process exits 0, the lock is free.
  const sub = await s2.createSubscription2({ requestedPublishingInterval: 100, publishingEnabled: true,
    requestedMaxKeepAliveCount: 10, requestedLifetimeCount: 100 });
  const seen = { state: null, reason: null };
  const mon = async (nodeId, key) => {
    const mi = await sub.monitor({ nodeId, attributeId: AttributeIds.Value },
      { samplingInterval: 100, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
    mi.on("changed", (dv) => { if (dv.value && dv.value.value !== null) seen[key] = dv.value.value; });
  };
  await mon("ns=0;i=2259", "state");
  await mon("ns=0;i=2993", "reason");
  await waitFor("the running state", () => seen.state === 0, 10000);
  const newest = spawnSync("pgrep", ["-f", exe]).stdout.toString().trim().split(/\s+/).filter(Boolean);
  assert.ok(newest.length >= 1, "no running server after the restart");
  for (const pid of newest) process.kill(Number(pid), "SIGTERM");
  await waitFor("the shutdown reason", () => seen.state === 4 &&
    seen.reason && seen.reason.text === "Работа сервера завершена пользователем.", 15000);
  await client2.disconnect().catch(() => {});
  await waitFor("the restarted process to end", () =>
    spawnSync("pgrep", ["-f", exe]).stdout.toString().trim() === "", 15000);
  const lockCheck = spawnSync("flock", ["-n", lockFile, "true"]);
  assert.strictEqual(lockCheck.status, 0, "the single-instance lock is still held");

  console.log("end-to-end: all checks passed");
}

main().then(() => { clearTimeout(overall); cleanup(); process.exit(0); }, fail);
