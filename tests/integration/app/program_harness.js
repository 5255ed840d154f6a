// Helpers of the tests that run the real program: where the built programs are, waiting, a free
// loopback port. No dependencies beyond Node itself, so tests with their own node_modules share it.
"use strict";
const fs = require("fs");
const net = require("net");
const path = require("path");

// The built program `name` under binDir (bin/ or tools/cfg/).
function find(binDir, name) {
  for (const p of [path.join(binDir, "bin", name), path.join(binDir, "tools", "cfg", name)])
    if (fs.existsSync(p)) return p;
  throw new Error(`${name} not found under ${binDir}`);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// Polls pred (sync or async) every 100 ms until it gives a truthy value, which is returned.
async function waitFor(what, pred, timeoutMs) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const v = await pred();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(100);
  }
}
function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once("error", reject);
    s.listen(0, "127.0.0.1", () => { const p = s.address().port; s.close(() => resolve(p)); });
  });
}
// A copy of the program in <tmp>/install with its runtime folder <tmp>/runtime (mode 0700), and
// the environment of a headless start (no display); extraEnv is added to it.
function installProgram(binDir, tmp, extraEnv = {}) {
  const install = path.join(tmp, "install");
  const runtime = path.join(tmp, "runtime");
  fs.mkdirSync(install);
  fs.mkdirSync(runtime, { mode: 0o700 });
  const exe = path.join(install, "qora-opc-server");
  fs.copyFileSync(find(binDir, "qora-opc-server"), exe);
  fs.chmodSync(exe, 0o755);
  const env = { ...process.env, XDG_RUNTIME_DIR: runtime, ...extraEnv };
  delete env.DISPLAY; delete env.WAYLAND_DISPLAY; delete env.QT_QPA_PLATFORM;
  return { install, runtime, exe, env };
}
async function withTimeout(p, ms, what) {
  let t;
  const guard = new Promise((_, reject) => { t = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms); });
  try { return await Promise.race([p, guard]); } finally { clearTimeout(t); }
}

module.exports = { find, sleep, waitFor, freePort, installProgram, withTimeout };
