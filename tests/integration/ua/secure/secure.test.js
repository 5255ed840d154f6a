// Signed and encrypted channels with an independent client: every policy and mode connects,
// browses, reads and receives data changes, anonymously and with a user name; a wrong password is
// refused; an untrusted client certificate is refused, lands in the rejected folder and connects
// once moved to the trusted folder; with anonymous access off, only users get sessions.
// Usage: node secure.test.js <ua_test_host>
"use strict";
const assert = require("node:assert/strict");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { execFileSync } = require("node:child_process");
const {
  OPCUAClient, AttributeIds, BrowseDirection, MessageSecurityMode, SecurityPolicy, StatusCodes,
  TimestampsToReturn, ClientSubscription, ClientMonitoredItem, UserTokenType,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");
const { Host } = require("../client/host");

const hostPath = process.argv[2];
const overall = setTimeout(() => {
  console.error("FAIL: overall time-out");
  process.exit(1);
}, 170000);

const TMP = fs.mkdtempSync(path.join(os.tmpdir(), "qora-secure-"));
const USER = "оператор";
const PASSWORD = "пароль-7 secret";

// A self-signed application certificate made by the openssl command line, as an integrator would.
function makeCertificate(dir, name, uri, bits = 2048) {
  fs.mkdirSync(dir, { recursive: true });
  const key = path.join(dir, `${name}.key.pem`);
  const cert = path.join(dir, `${name}.pem`);
  execFileSync("openssl", [
    "req", "-x509", "-newkey", `rsa:${bits}`, "-sha256", "-days", "365", "-nodes",
    "-keyout", key, "-out", cert, "-subj", `/CN=${name}/O=QORA tests`,
    "-addext", `subjectAltName=URI:${uri},DNS:localhost,IP:127.0.0.1`,
    "-addext", "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment",
    "-addext", "extendedKeyUsage=critical,serverAuth,clientAuth",
    "-addext", "basicConstraints=critical,CA:FALSE",
  ], { stdio: "ignore" });
  const der = path.join(dir, `${name}.der`);
  execFileSync("openssl", ["x509", "-in", cert, "-outform", "DER", "-out", der], { stdio: "ignore" });
  return { key, cert, der, uri };
}

const serverId = makeCertificate(path.join(TMP, "server"), "server", "urn:qora:opc-server", 4096);
const trusted = makeCertificate(path.join(TMP, "client"), "trusted-client", "urn:qora-test:trusted");
const stranger = makeCertificate(path.join(TMP, "client"), "stranger", "urn:qora-test:stranger");
const pki = path.join(TMP, "pki");
const trustDir = path.join(pki, "trusted");
const rejectedDir = path.join(pki, "rejected");
fs.mkdirSync(trustDir, { recursive: true });
fs.copyFileSync(trusted.der, path.join(trustDir, "trusted-client.der"));

function hostArgs(extra = []) {
  return ["--items", "20", "--quiet", "--period-ms", "100", "--cert", serverId.der, "--key", serverId.key,
    "--trust-dir", trustDir, "--user", `${USER}:${PASSWORD}`, ...extra];
}

async function makeClient(identity, mode, policy) {
  const certificateManager = new OPCUACertificateManager({
    rootFolder: path.join(TMP, "client-pki", path.basename(identity.cert)),
    automaticallyAcceptUnknownCertificate: true,
  });
  await certificateManager.initialize();
  return OPCUAClient.create({
    applicationName: path.basename(identity.cert, ".pem"),
    applicationUri: identity.uri,
    endpointMustExist: true,
    securityMode: mode,
    securityPolicy: policy,
    certificateFile: identity.cert,
    privateKeyFile: identity.key,
    clientCertificateManager: certificateManager,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    requestedSessionTimeout: 60000,
    keepSessionAlive: false,
  });
}

const ITEM = "ns=1;s=Адаптер_1(COM1).Устройство0(T №1).P2";

// Connect, browse, read and wait for a data change; then close.
async function exercise(url, mode, policy, user) {
  const label = `${policy.split("#")[1]} ${MessageSecurityMode[mode]} ${user ? "user" : "anonymous"}`;
  const client = await makeClient(trusted, mode, policy);
  await client.connect(url);
  const session = await client.createSession(user
    ? { type: UserTokenType.UserName, userName: USER, password: PASSWORD }
    : { type: UserTokenType.Anonymous });
  const browsed = await session.browse({
    nodeId: "ns=0;i=85", browseDirection: BrowseDirection.Forward, referenceTypeId: "HierarchicalReferences",
    includeSubtypes: true, nodeClassMask: 0, resultMask: 63,
  });
  assert.equal(browsed.statusCode, StatusCodes.Good, label);
  assert.ok(browsed.references.length > 0, label);
  const dv = await session.read({ nodeId: ITEM, attributeId: AttributeIds.Value });
  assert.equal(dv.statusCode, StatusCodes.Good, `${label}: read`);

  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
  });
  await new Promise((resolve, reject) => {
    subscription.on("started", resolve);
    subscription.on("error", reject);
  });
  const item = ClientMonitoredItem.create(subscription, { nodeId: ITEM, attributeId: AttributeIds.Value },
    { samplingInterval: 50, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
  let changes = 0;
  item.on("changed", () => changes++);
  const end = Date.now() + 5000;
  while (changes < 2 && Date.now() < end) await new Promise((r) => setTimeout(r, 20));
  assert.ok(changes >= 2, `${label}: data changes arrive (${changes})`);
  await subscription.terminate();
  await session.close();
  await client.disconnect();
  console.log(`ok: ${label}`);
}

async function expectSessionRefused(url, mode, policy, identity, expected) {
  const client = await makeClient(trusted, mode, policy);
  await client.connect(url);
  let code = null;
  try {
    const session = await client.createSession(identity);
    await session.close();
  } catch (err) {
    code = err.response?.responseHeader?.serviceResult ?? err.statusCode ?? null;
    if (!code) {
      const m = /Bad[A-Za-z]+/.exec(String(err.message));
      code = m ? StatusCodes[m[0]] : null;
    }
  }
  await client.disconnect();
  assert.ok(code, "session refused");
  assert.equal(code.value, expected.value, `refused with ${expected.name}, got ${code.name ?? code}`);
}

async function connectFails(url, identity, mode, policy) {
  const client = await makeClient(identity, mode, policy);
  try {
    await client.connect(url);
  } catch (err) {
    return err;
  } finally {
    await client.disconnect().catch(() => {});
  }
  return null;
}

async function main() {
  const modes = [MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt];
  const policies = [SecurityPolicy.Basic256Sha256, SecurityPolicy.Aes128_Sha256_RsaOaep,
    SecurityPolicy.Aes256_Sha256_RsaPss];

  let host = new Host(hostPath, hostArgs());
  let url = `opc.tcp://127.0.0.1:${await host.port()}`;

  // Discovery lists one endpoint per (policy, mode) plus None, ranked by security level.
  const probe = await makeClient(trusted, MessageSecurityMode.None, SecurityPolicy.None);
  await probe.connect(url);
  const endpoints = await probe.getEndpoints();
  await probe.disconnect();
  assert.equal(endpoints.length, 7, "None plus three policies in two modes");
  for (const e of endpoints) {
    if (e.securityMode === MessageSecurityMode.None) continue;
    assert.ok(e.serverCertificate && e.serverCertificate.length > 0, "endpoint carries the certificate");
    const tokenTypes = e.userIdentityTokens.map((t) => t.tokenType);
    assert.ok(tokenTypes.includes(UserTokenType.Anonymous) && tokenTypes.includes(UserTokenType.UserName));
  }
  const level = (m, p) => endpoints.find((e) => e.securityMode === m && e.securityPolicyUri === p).securityLevel;
  for (const p of policies) {
    assert.ok(level(MessageSecurityMode.SignAndEncrypt, p) > level(MessageSecurityMode.Sign, p), "encrypt above sign");
    assert.ok(level(MessageSecurityMode.Sign, p) > level(MessageSecurityMode.None, SecurityPolicy.None), "sign above none");
  }
  const noneEndpoint = endpoints.find((e) => e.securityMode === MessageSecurityMode.None);
  const noneUserPolicy = noneEndpoint.userIdentityTokens.find((t) => t.tokenType === UserTokenType.UserName);
  assert.equal(noneUserPolicy.securityPolicyUri, SecurityPolicy.Basic256Sha256,
    "passwords on the None endpoint are encrypted");

  for (const policy of policies)
    for (const mode of modes)
      for (const user of [false, true]) await exercise(url, mode, policy, user);
  // A user name over the None endpoint: the password travels encrypted to the server certificate.
  await exercise(url, MessageSecurityMode.None, SecurityPolicy.None, true);

  // A wrong password.
  await expectSessionRefused(url, MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Basic256Sha256,
    { type: UserTokenType.UserName, userName: USER, password: "wrong" }, StatusCodes.BadUserAccessDenied);
  console.log("ok: wrong password refused");

  // An untrusted client: refused, copied to the rejected folder, trusted once moved.
  const refused = await connectFails(url, stranger, MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Basic256Sha256);
  assert.ok(refused, "an untrusted client does not connect");
  const rejected = fs.existsSync(rejectedDir) ? fs.readdirSync(rejectedDir, { recursive: true })
    .filter((f) => fs.statSync(path.join(rejectedDir, f)).isFile()) : [];
  assert.equal(rejected.length, 1, `the refused certificate is in ${rejectedDir}`);
  assert.deepEqual(fs.readFileSync(path.join(rejectedDir, rejected[0])), fs.readFileSync(stranger.der));
  fs.renameSync(path.join(rejectedDir, rejected[0]), path.join(trustDir, path.basename(rejected[0])));
  const again = await makeClient(stranger, MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Basic256Sha256);
  await again.connect(url);
  const session = await again.createSession();
  await session.close();
  await again.disconnect();
  console.log("ok: untrusted client refused, connects after its certificate is moved to trusted");
  assert.equal(await host.quit(), 0);

  // Anonymous access off: no endpoint offers an anonymous token, and an anonymous session fails.
  host = new Host(hostPath, hostArgs(["--no-anonymous"]));
  url = `opc.tcp://127.0.0.1:${await host.port()}`;
  const probe2 = await makeClient(trusted, MessageSecurityMode.None, SecurityPolicy.None);
  await probe2.connect(url);
  const locked = await probe2.getEndpoints();
  await probe2.disconnect();
  for (const e of locked)
    assert.ok(!e.userIdentityTokens.some((t) => t.tokenType === UserTokenType.Anonymous), "no anonymous token");
  const anon = await makeClient(trusted, MessageSecurityMode.Sign, SecurityPolicy.Aes256_Sha256_RsaPss);
  await anon.connect(url);
  await assert.rejects(anon.createSession({ type: UserTokenType.Anonymous }), "anonymous session refused");
  await anon.disconnect();
  await exercise(url, MessageSecurityMode.Sign, SecurityPolicy.Aes256_Sha256_RsaPss, true);
  console.log("ok: anonymous refused when not allowed");
  assert.equal(await host.quit(), 0);

  clearTimeout(overall);
  fs.rmSync(TMP, { recursive: true, force: true });
  console.log("PASS");
}

main().catch((err) => {
  console.error("FAIL:", err);
  fs.rmSync(TMP, { recursive: true, force: true });
  process.exit(1);
});
