// Soak run of the real program (a benchmark, not a test): 3 simulated lines × 10 devices × 3
// parameters polled every 0.1 s per line, an OPC UA client subscribed to every item. Prints the
// resident memory over time, notifications received, non-Good statuses seen for healthy devices
// and the simulators' request/reply counts.
//
// Usage: NODE_PATH=tests/integration/ua/client/node_modules node bench/app/soak.js BUILD_DIR [SECONDS]
"use strict";
const fs = require("fs");
const net = require("net");
const os = require("os");
const path = require("path");
const { spawn, spawnSync } = require("child_process");

const binDir = path.resolve(process.argv[2] || "build");
const seconds = Number(process.argv[3] || 600);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "qora-soak-"));
process.env.HOME = tmp;
process.env.XDG_CONFIG_HOME = path.join(tmp, "xdg");
const { OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, TimestampsToReturn } = require("node-opcua-client");
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const children = [];
function rssKb(pid) {
  const m = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, "utf8"));
  return m ? Number(m[1]) : -1;
}
function cpuTicks(pid) {
  const f = fs.readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
  return Number(f[11]) + Number(f[12]);
}

async function main() {
  const port = await new Promise((res) => { const s = net.createServer(); s.listen(0, "127.0.0.1", () => { const p = s.address().port; s.close(() => res(p)); }); });
  const inst = path.join(tmp, "inst");
  fs.mkdirSync(inst);
  fs.copyFileSync(path.join(binDir, "bin", "qora-opc-server"), path.join(inst, "qora-opc-server"));
  fs.chmodSync(path.join(inst, "qora-opc-server"), 0o755);
  const lines = [1, 2, 3];
  fs.writeFileSync(path.join(inst, "qora.ini"), ["[DEVICES]", "D0=T", "[D_P]", "P0=7", "[PARAMETERS]", "P0=A", "P1=B", "P2=C",
    "[SERIALCOMM]", ...lines.map((l) => `L${l}=${tmp}/tty${l}`), "[OPCUA]", "Host=127.0.0.1", `Port=${port}`, ""].join("\n"));
  const points = lines.map((l) => ({ name: `Line${l}`, port: `L${l}`, period: 0.1, active: true,
    devices: Array.from({ length: 10 }, (_, i) => ({ name: `D${i + 1}`, type: 0, address: i + 1, parameters: [0, 1, 2] })) }));
  const cfg = path.join(tmp, "soak.cfg");
  let tool = path.join(binDir, "bin", "qora-cfg");
  if (!fs.existsSync(tool)) tool = path.join(binDir, "tools", "cfg", "qora-cfg");
  spawnSync(tool, ["create", cfg], { input: JSON.stringify({ points }) });
  const simLogs = [];
  for (const l of lines) {
    const args = ["--link", `${tmp}/tty${l}`, "--verbose"];
    for (let a = 1; a <= 10; ++a) args.push("--device", `${a}:0=ramp:0:1000000:1,1=sine:50:10:30,2=const:${a}`);
    const log = path.join(tmp, `sim${l}.log`);
    simLogs.push(log);
    children.push(spawn(path.join(binDir, "bin", "qora-sim"), args, { stdio: ["ignore", "ignore", fs.openSync(log, "w")] }));
  }
  while (!lines.every((l) => fs.existsSync(`${tmp}/tty${l}`))) await sleep(50);
  const env = { ...process.env, XDG_RUNTIME_DIR: tmp };
  delete env.DISPLAY; delete env.WAYLAND_DISPLAY;
  const app = spawn(path.join(inst, "qora-opc-server"), [`-f:${cfg}`], { env, stdio: "ignore" });
  children.push(app);
  const client = OPCUAClient.create({ endpointMustExist: false, securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None, connectionStrategy: { maxRetry: 50, initialDelay: 200, maxDelay: 500 } });
  await client.connect(`opc.tcp://127.0.0.1:${port}`);
  const session = await client.createSession();
  const sub = await session.createSubscription2({ requestedPublishingInterval: 250, requestedMaxKeepAliveCount: 20,
    requestedLifetimeCount: 200, publishingEnabled: true });
  let notifications = 0, nonGood = 0;
  const started = Date.now();
  for (const p of points) for (const d of p.devices) for (const k of ["A", "B", "C"]) {
    const id = `${p.name}(${p.port}).${d.name}(T №${d.address}).${k}`;
    const mi = await sub.monitor({ nodeId: `ns=1;s=${id}`, attributeId: AttributeIds.Value },
      { samplingInterval: 250, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
    mi.on("changed", (dv) => { ++notifications; if (dv.statusCode.value !== 0 && Date.now() - started > 5000) ++nonGood; });
  }
  const t0 = Date.now(), cpu0 = cpuTicks(app.pid);
  const samples = [];
  while (Date.now() - t0 < seconds * 1000) {
    await sleep(Math.min(10000, seconds * 1000));
    samples.push([Math.round((Date.now() - t0) / 1000), rssKb(app.pid)]);
  }
  const cpu = (cpuTicks(app.pid) - cpu0) / 100;
  const elapsed = (Date.now() - t0) / 1000;
  await client.disconnect();
  app.kill("SIGTERM");
  await sleep(1000);
  for (const c of children) c.kill("SIGTERM");
  await sleep(500);
  let requests = 0, replies = 0;
  for (const log of simLogs) {
    const text = fs.readFileSync(log, "utf8");
    requests += (text.match(/^request /gm) || []).length;
    replies += (text.match(/^reply /gm) || []).length;
  }
  const afterMinute = samples.filter(([t]) => t >= 60).map(([, r]) => r);
  console.log(`soak: ${elapsed.toFixed(0)} s, 3 lines x 10 devices x 3 items, poll period 0.1 s`);
  console.log(`resident memory (s:kB): ${samples.map(([t, r]) => `${t}:${r}`).join(" ")}`);
  if (afterMinute.length) console.log(`after the first minute: min ${Math.min(...afterMinute)} kB, max ${Math.max(...afterMinute)} kB`);
  console.log(`server CPU: ${cpu.toFixed(1)} s (${(100 * cpu / elapsed).toFixed(1)} %)`);
  console.log(`requests seen by the simulators: ${requests} (expected about ${Math.round(elapsed * 30)}), replies sent: ${replies}`);
  console.log(`data-change notifications: ${notifications}, non-Good statuses after warm-up: ${nonGood}`);
  process.exit(0);
}
main().catch((e) => { console.error(e); for (const c of children) c.kill("SIGKILL"); process.exit(1); });
