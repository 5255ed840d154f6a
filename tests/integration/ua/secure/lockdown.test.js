// The real program locked down as the README shows: only signed and encrypted policies, no
// anonymous access, one user made with qora-cfg. Its own certificate folder refuses an unknown
// client and keeps its certificate in pki/rejected/certs; moved to pki/trusted/certs, the client
// connects without a restart. A wrong password and an anonymous session are refused.
// Usage: node lockdown.test.js BINARY_DIR
"use strict";
const assert = require("node:assert/strict");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const { execFileSync, spawn, spawnSync } = require("node:child_process");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, StatusCodes, UserTokenType,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const binDir = path.resolve(process.argv[2] || "build");
const harness = require("../../app/program_harness");
const { waitFor, freePort } = harness;
const find = (name) => harness.find(binDir, name);
const tmp = fs.mkdtempSync(path.join(os.tmpdir(), "qora-lockdown-"));
const children = [];
const overall = setTimeout(() => fail(new Error("lock-down test ran past 150 s")), 150000);
const USER = "инженер";
const PASSWORD = "Пароль 2026!";

function fail(err) {
  console.error("FAIL:", err && err.stack ? err.stack : err);
  for (const c of children) { try { c.kill("SIGKILL"); } catch (e) { /* gone */ } }
  fs.rmSync(tmp, { recursive: true, force: true });
  process.exit(1);
}
function listening(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, "127.0.0.1", () => { s.destroy(); resolve(true); });
    s.once("error", () => resolve(false));
  });
}
function filesIn(dir) {
  return fs.existsSync(dir) ? fs.readdirSync(dir).filter((f) => fs.statSync(path.join(dir, f)).isFile()) : [];
}

function makeClientCertificate(dir) {
  fs.mkdirSync(dir, { recursive: true });
  const key = path.join(dir, "client.key.pem");
  const cert = path.join(dir, "client.pem");
  execFileSync("openssl", [
    "req", "-x509", "-newkey", "rsa:2048", "-sha256", "-days", "365", "-nodes", "-keyout", key, "-out", cert,
    "-subj", "/CN=SCADA station/O=QORA tests",
    "-addext", "subjectAltName=URI:urn:qora-test:scada,DNS:localhost",
    "-addext", "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment",
    "-addext", "extendedKeyUsage=critical,serverAuth,clientAuth",
    "-addext", "basicConstraints=critical,CA:FALSE",
  ], { stdio: "ignore" });
  return { key, cert, uri: "urn:qora-test:scada" };
}

async function makeClient(identity, mode, policy) {
  const certificateManager = new OPCUACertificateManager({
    rootFolder: path.join(tmp, "client-pki"), automaticallyAcceptUnknownCertificate: true,
  });
  await certificateManager.initialize();
  return OPCUAClient.create({
    applicationName: "SCADA station", applicationUri: identity.uri, endpointMustExist: true,
    securityMode: mode, securityPolicy: policy, certificateFile: identity.cert, privateKeyFile: identity.key,
    clientCertificateManager: certificateManager,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 }, keepSessionAlive: false,
  });
}

async function main() {
  const { install, exe, env } = harness.installProgram(binDir, tmp, { HOME: tmp, XDG_CONFIG_HOME: path.join(tmp, "xdg") });
  const port = await freePort();
  fs.writeFileSync(path.join(install, "qora.ini"), [
    "[GENERAL]", "MAIN_CFG=", "",
    "[DEVICES]", "D0=Термометр", "", "[D_P]", "P0=0x01", "", "[PARAMETERS]", "P0=Температура", "",
    "[SERIALCOMM]", `SIM1=${path.join(tmp, "no-such-line")}`, "",
    "[OPCUA]", "Host=127.0.0.1", `Port=${port}`,
    "SecurityPolicies=Basic256Sha256,Aes256_Sha256_RsaPss", "AllowAnonymous=0", "",
  ].join("\n"));
  const cfgPath = path.join(tmp, "plant.cfg");
  const cfgTool = find("qora-cfg");
  const made = spawnSync(cfgTool, ["create", cfgPath], { input: JSON.stringify({ points: [{
    name: "Адаптер_1", port: "SIM1", period: 0.5, active: true,
    devices: [{ name: "Котёл", type: 0, address: 1, parameters: [0] }] }] }) });
  assert.equal(made.status, 0, `qora-cfg create: ${made.stderr}`);
  // The password comes on standard input, never on the command line.
  const users = path.join(install, "users.ini");
  const added = spawnSync(cfgTool, ["user", "add", users, USER], { input: PASSWORD + "\n" });
  assert.equal(added.status, 0, `qora-cfg user add: ${added.stderr}`);
  assert.ok(!fs.readFileSync(users, "utf8").includes(PASSWORD), "no password in clear in the users file");

  const program = spawn(exe, [`-f:${cfgPath}`], { env, cwd: tmp, stdio: ["ignore", "inherit", "inherit"] });
  children.push(program);
  await waitFor("the endpoint", () => listening(port), 30000);
  const pki = path.join(install, "pki");
  const own = filesIn(path.join(pki, "own", "certs"));
  assert.equal(own.length, 1, "the program made its certificate at first start");
  const url = `opc.tcp://127.0.0.1:${port}`;
  const identity = makeClientCertificate(path.join(tmp, "client"));

  // Discovery over None still works; only the two policies in both modes are offered, none
  // with an anonymous token.
  const probe = await makeClient(identity, MessageSecurityMode.None, SecurityPolicy.None);
  await probe.connect(url);
  const endpoints = await probe.getEndpoints();
  await probe.disconnect();
  assert.deepEqual(endpoints.map((e) => `${e.securityPolicyUri.split("#")[1]} ${e.securityMode}`).sort(), [
    "Aes256_Sha256_RsaPss 2", "Aes256_Sha256_RsaPss 3", "Basic256Sha256 2", "Basic256Sha256 3"]);
  for (const e of endpoints) {
    assert.ok(!e.userIdentityTokens.some((t) => t.tokenType === UserTokenType.Anonymous), "no anonymous");
    assert.deepEqual(Buffer.from(e.serverCertificate), fs.readFileSync(path.join(pki, "own", "certs", own[0])));
  }

  // Unknown client: refused, its certificate kept for the operator.
  const stranger = await makeClient(identity, MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Basic256Sha256);
  await assert.rejects(stranger.connect(url), "an untrusted client does not connect");
  await stranger.disconnect().catch(() => {});
  const rejectedDir = path.join(pki, "rejected", "certs");
  const rejected = await waitFor("the refused certificate", () => filesIn(rejectedDir).length === 1 && filesIn(rejectedDir), 5000);
  console.log("ok: untrusted client refused, kept as", rejected[0]);
  // The operator moves it to the trusted folder; no restart.
  fs.renameSync(path.join(rejectedDir, rejected[0]), path.join(pki, "trusted", "certs", rejected[0]));

  const client = await makeClient(identity, MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Aes256_Sha256_RsaPss);
  await client.connect(url);
  await assert.rejects(client.createSession({ type: UserTokenType.Anonymous }), "anonymous refused");
  let denied = null;
  try {
    await client.createSession({ type: UserTokenType.UserName, userName: USER, password: "не тот" });
  } catch (err) {
    denied = String(err.message);
  }
  assert.ok(denied && denied.includes("BadUserAccessDenied"), `wrong password: ${denied}`);
  const session = await client.createSession({ type: UserTokenType.UserName, userName: USER, password: PASSWORD });
  const dv = await session.read({ nodeId: "ns=1;s=Адаптер_1(SIM1).Котёл(Термометр №1).Температура",
    attributeId: AttributeIds.Value });
  assert.notEqual(dv.statusCode.value, StatusCodes.BadNodeIdUnknown.value, "the item is served");
  await session.close();
  await client.disconnect();
  console.log("ok: trusted after the move; the user reads; anonymous and a wrong password refused");

  program.kill("SIGTERM");
  const code = await new Promise((resolve) => program.once("exit", (c, s) => resolve(c ?? s)));
  assert.equal(code, 0, "the program ends cleanly");
  clearTimeout(overall);
  fs.rmSync(tmp, { recursive: true, force: true });
  console.log("PASS");
}

main().catch(fail);
