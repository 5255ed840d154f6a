// The real program, headless, when another server holds its OPC UA port: the failure is on
// standard error at once, SIGTERM and SIGHUP end the process at once while the bind is being
// retried, and once the other server goes the endpoint comes up and a client connects. The
// start-up output carries no Qt warnings.
//
// Usage: node listen_test.js BINARY_DIR
"use strict";
const assert = require("assert");
const fs = require("fs");
const net = require("net");
const os = require("os");
const path = require("path");
const { spawn, spawnSync } = require("child_process");

const binDir = path.resolve(process.argv[2] || "build");
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "qora-listen-"));
const { OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy } = require("node-opcua-client");

const children = [];
const overall = setTimeout(() => fail(new Error("listen test ran past 120 s")), 120000);
function cleanup() {
  for (const c of children) { try { c.kill("SIGKILL"); } catch (e) { /* gone */ } }
  spawnSync("pkill", ["-KILL", "-f", path.join(tmp, "install")]);
}
function fail(err) {
  console.error("FAIL:", err && err.stack ? err.stack : err);
  cleanup();
  process.exit(1);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Holds a loopback port as another server would.
function holdPort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer((c) => c.destroy());
    s.once("error", reject);
    s.listen(0, "127.0.0.1", () => resolve(s));
  });
}

// A started program with its standard error read line by line, each line with its time.
function start(exe, env) {
  const t0 = Date.now();
  const child = spawn(exe, [], { env, cwd: tmp, stdio: ["ignore", "ignore", "pipe"] });
  children.push(child);
  const run = { child, t0, lines: [], exit: null };
  let rest = "";
  child.stderr.setEncoding("utf8");
  child.stderr.on("data", (d) => {
    rest += d;
    const parts = rest.split("\n");
    rest = parts.pop();
    for (const l of parts) run.lines.push({ at: Date.now() - t0, text: l });
  });
  run.exited = new Promise((resolve) => child.once("exit", (code, signal) => {
    run.exit = { code, signal, at: Date.now() };
    resolve(run.exit);
  }));
  return run;
}
async function waitLine(run, pattern, timeoutMs, what) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const hit = run.lines.find((l) => pattern.test(l.text));
    if (hit) return hit;
    if (Date.now() > end || run.exit)
      throw new Error(`no ${what} within ${timeoutMs} ms; standard error:\n${run.lines.map((l) => l.text).join("\n")}`);
    await sleep(20);
  }
}
async function stop(run, signal) {
  const t = Date.now();
  run.child.kill(signal);
  const guard = sleep(10000).then(() => null);
  const ex = await Promise.race([run.exited, guard]);
  assert.ok(ex, `${signal} did not end the process within 10 s`);
  return { ms: ex.at - t, code: ex.code, signal: ex.signal };
}
function pids(exe) {
  return spawnSync("pgrep", ["-f", exe]).stdout.toString().trim().split(/\s+/).filter(Boolean).map(Number);
}

async function main() {
  const install = path.join(tmp, "install");
  fs.mkdirSync(install);
  const exe = path.join(install, "qora-opc-server");
  fs.copyFileSync(path.join(binDir, "bin", "qora-opc-server"), exe);
  fs.chmodSync(exe, 0o755);
  const holder = await holdPort();
  const port = holder.address().port;
  fs.writeFileSync(path.join(install, "qora.ini"), ["[OPCUA]", "Host=127.0.0.1", `Port=${port}`, ""].join("\n"));

  // No display, no runtime directory: what a service or an ssh session has.
  const env = { ...process.env, HOME: tmp, TMPDIR: tmp, XDG_CONFIG_HOME: path.join(tmp, "config") };
  for (const v of ["DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR", "QT_LOGGING_RULES"]) delete env[v];
  const failure = new RegExp(`^qora-opc-server: Сервер OPC UA не может принимать подключения на 127\\.0\\.0\\.1:${port}: Адрес уже используется\\. Повторные попытки продолжаются\\.$`);
  const success = new RegExp(`^qora-opc-server: Сервер OPC UA принимает подключения на 127\\.0\\.0\\.1:${port}\\.$`);

  // 1. The failure is told at once; SIGTERM ends the process at once.
  const a = start(exe, env);
  const told = await waitLine(a, failure, 2000, "report of the held port");
  console.log(`port held: reported after ${told.at} ms: ${told.text}`);
  assert.ok(told.at < 2000);
  await sleep(300);  // a retry is running meanwhile
  const qtWarnings = a.lines.filter((l) => /^(QStandardPaths|QSystemTrayIcon|qt\.)/.test(l.text));
  assert.deepStrictEqual(qtWarnings, [], "Qt warnings at start-up");
  const termA = await stop(a, "SIGTERM");
  console.log(`SIGTERM during the bind retry: ended after ${termA.ms} ms, exit code ${termA.code}`);
  assert.strictEqual(termA.code, 0);
  assert.ok(termA.ms < 3000, `SIGTERM took ${termA.ms} ms`);
  assert.strictEqual(a.lines.filter((l) => failure.test(l.text)).length, 1, "the failure is told once");

  // 2. SIGHUP (restart) during the retry: the old process ends at once, the new one reports too.
  const b = start(exe, env);
  await waitLine(b, failure, 2000, "report of the held port");
  const hup = await stop(b, "SIGHUP");
  console.log(`SIGHUP during the bind retry: old process ended after ${hup.ms} ms, exit code ${hup.code}`);
  assert.strictEqual(hup.code, 0);
  assert.ok(hup.ms < 3000, `SIGHUP took ${hup.ms} ms`);
  const end = Date.now() + 10000;
  while (pids(exe).length === 0 && Date.now() < end) await sleep(50);
  const restarted = pids(exe);
  assert.strictEqual(restarted.length, 1, `restarted processes: ${restarted}`);
  for (const pid of restarted) process.kill(pid, "SIGTERM");
  while (pids(exe).length !== 0 && Date.now() < end) await sleep(50);
  assert.strictEqual(pids(exe).length, 0, "the restarted process did not end on SIGTERM");

  // 3. The other server goes: the endpoint comes up and a client connects.
  const c = start(exe, env);
  await waitLine(c, failure, 2000, "report of the held port");
  await new Promise((r) => holder.close(r));
  const up = await waitLine(c, success, 5000, "report of the endpoint listening");
  console.log(`port freed: listening reported at ${up.at} ms`);
  const client = OPCUAClient.create({
    applicationName: "qora-listen", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 3, initialDelay: 200, maxDelay: 500 },
  });
  await client.connect(`opc.tcp://127.0.0.1:${port}`);
  const session = await client.createSession();
  const state = await session.read({ nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value });
  assert.strictEqual(state.value.value, 0, "ServerStatus.State is not Running");
  await session.close();
  await client.disconnect();
  const termC = await stop(c, "SIGTERM");
  console.log(`SIGTERM while listening: ended after ${termC.ms} ms`);
  assert.strictEqual(termC.code, 0);
  console.log("listen: all checks passed");
}

main().then(() => { clearTimeout(overall); cleanup(); fs.rmSync(tmp, { recursive: true, force: true }); process.exit(0); }, fail);
