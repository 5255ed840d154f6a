// End to end: the server object's items through the toolkit and the OPC UA endpoint, read by
// node-opcua-client. Item IDs, values and status codes as published, a device read newer than
// the push, a refused write that changes nothing, data changes after a push, the event-log
// lines of the callbacks, the instance and lock counts, and the shutdown reason.
// Usage: node opc_e2e.test.js <opc_test_host>
"use strict";
const path = require("node:path");
const assert = require("node:assert/strict");
const {
  OPCUAClient, AttributeIds, BrowseDirection, DataType, MessageSecurityMode, SecurityPolicy,
  StatusCodes, TimestampsToReturn, ClientSubscription, ClientMonitoredItem,
} = require("node-opcua-client");
const { Host } = require(path.join(__dirname, "../../ua/client/host"));

const overall = setTimeout(() => {
  console.error("FAIL: overall time-out");
  process.exit(1);
}, 120000);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(what, predicate, timeoutMs = 10000) {
  const end = Date.now() + timeoutMs;
  while (Date.now() < end) {
    if (await predicate()) return;
    await sleep(20);
  }
  throw new Error(`timed out waiting for ${what}`);
}

const ID0 = "Адаптер_1(COM1).Устройство(T №5).P";
const IDS = [
  ID0,
  "Адаптер_1(COM1).Устройство(T №5).Температура",
  "Адаптер_1(COM1).Устройство(T №5).",
  "Адаптер_1(COM1).Д( №254).P",
  "Без порта(ttyGONE).Прибор(T №1).P",
  ID0,
];
const NODES = IDS.map((id, i) => `ns=1;s=${id}${i === 5 ? "#2" : ""}`);

async function main() {
  const host = new Host(process.argv[2], []);
  const port = await host.port();
  const url = `opc.tcp://127.0.0.1:${port}`;
  const client = OPCUAClient.create({
    applicationName: "qora-opc-e2e",
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    keepSessionAlive: false,
  });
  await client.connect(url);
  const session = await client.createSession();

  // The namespace: one Variable per selected slot under its point and device, in item order,
  // IDs byte for byte; Objects holds the points (and the Server object) only.
  const browse = async (nodeId) => (await session.browse({
    nodeId, browseDirection: BrowseDirection.Forward,
    referenceTypeId: "HierarchicalReferences", includeSubtypes: true, nodeClassMask: 0, resultMask: 63,
  })).references;
  const top = (await browse("ns=0;i=85")).filter((r) => r.nodeId.namespace === 1);
  assert.ok(top.every((r) => String(r.nodeId.value).startsWith("Point:")), "only points under Objects");
  const items = [];
  for (const point of top)
    for (const device of (await browse(point.nodeId)).filter((r) => String(r.nodeId.value).includes("/Device:")))
      items.push(...(await browse(device.nodeId)).filter((r) => !String(r.nodeId.value).startsWith("Point:")));
  assert.deepEqual(items.map((r) => `ns=1;s=${r.nodeId.value}`), NODES);
  assert.deepEqual(items.map((r) => r.displayName.text), items.map((r) => r.browseName.name),
    "display name: the parameter");
  assert.equal(Buffer.from(String(items[0].nodeId.value), "utf8").toString("hex"),
    Buffer.from(ID0, "utf8").toString("hex"));
  assert.equal(items[0].browseName.name, ID0.slice(ID0.lastIndexOf(".") + 1), "browse name: the parameter");
  console.log("namespace ok:", IDS.length, "items");

  const read = (maxAge) => session.read(NODES.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })), maxAge);

  // Before the first push the cache holds the initial 0.0; a device read answers from the slots.
  for (const [item, value, quality] of [[0, 1.5, 192], [1, -20.25, 192], [3, 7, 24], [5, 3, 192]])
    await host.command(`set ${item} ${value} ${quality}`, /^OK/);
  let dvs = await read(0);
  const want = [
    [1.5, StatusCodes.Good], [-20.25, StatusCodes.Good], [9999999, StatusCodes.BadNotConnected],
    [7, StatusCodes.BadNoCommunication], [9999999, StatusCodes.BadNotConnected], [3, StatusCodes.Good],
  ];
  dvs.forEach((dv, i) => {
    assert.equal(dv.value.dataType, DataType.Float, `type of ${i}`);
    assert.equal(dv.value.value, want[i][0], `device value of ${i}`);
    assert.equal(dv.statusCode.value, want[i][1].value, `device status of ${i}`);
    assert.ok(Date.now() - dv.sourceTimestamp.getTime() < 60000, `source time of ${i} is now`);
  });
  assert.ok(host.calls("GBOnReadItems") >= 1, "device read went through the read callback");

  await host.command("push", /^PUSHED/);
  dvs = await read(3600000);
  dvs.forEach((dv, i) => {
    assert.equal(dv.value.value, want[i][0], `cached value of ${i}`);
    assert.equal(dv.statusCode.value, want[i][1].value, `cached status of ${i}`);
  });
  console.log("values and status codes ok");

  // A slot newer than the last push: the device read shows it, the cache does not yet.
  await host.command("set 0 2.5 192", /^OK/);
  assert.equal((await read(0))[0].value.value, 2.5);
  assert.equal((await read(3600000))[0].value.value, 1.5);

  // Writes are refused and change nothing.
  const wrote = await session.write({
    nodeId: NODES[0], attributeId: AttributeIds.Value,
    value: { value: { dataType: DataType.Float, value: 99 } },
  });
  assert.equal(wrote.value, StatusCodes.BadNotWritable.value);
  await until("GBOnWriteItems", () => host.calls("GBOnWriteItems") >= 1);
  assert.equal((await read(0))[0].value.value, 2.5, "the slot is unchanged");
  console.log("write refused, nothing changed");

  // Data changes arrive after pushes.
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 50, requestedLifetimeCount: 1000, requestedMaxKeepAliveCount: 20,
    maxNotificationsPerPublish: 100, publishingEnabled: true, priority: 1,
  });
  const seen = [];
  const monitored = ClientMonitoredItem.create(subscription, { nodeId: NODES[0], attributeId: AttributeIds.Value },
    { samplingInterval: 50, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
  monitored.on("changed", (dv) => seen.push(dv.value.value));
  await until("first notification", () => seen.length >= 1);
  await host.command("push", /^PUSHED/);
  await until("2.5 after a push", () => seen.includes(2.5));
  await host.command("set 0 3.5 192", /^OK/);
  await host.command("push", /^PUSHED/);
  await until("3.5 after a push", () => seen.includes(3.5));
  console.log("data changes:", seen.join(", "));

  const stats = await host.stats();
  assert.ok(stats.instances >= 1 && stats.locks >= 1 && stats.inuse === 1, JSON.stringify(stats));
  const locales = await session.read({ nodeId: "ns=0;i=2271", attributeId: AttributeIds.Value });
  assert.ok(locales.value.value.includes("ru-RU") && locales.value.value.includes("en-US"),
    `LocaleIdArray ${locales.value.value}`);
  for (const name of ["GBOnBeforeCreateInstance", "GBOnCreateInstance", "GBOnLock", "GBOnReadItems", "GBOnActivate"])
    assert.ok(host.calls(name) >= 1, `event-log line ${name}`);

  // GBShutdown: a subscriber sees State = Shutdown and the reason before its session ends.
  let serverState = null;
  let shutdownReason = null;
  ClientMonitoredItem.create(subscription, { nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value },
    { samplingInterval: 50, queueSize: 1 }, TimestampsToReturn.Both)
    .on("changed", (dv) => { serverState = dv.value.value; });
  ClientMonitoredItem.create(subscription, { nodeId: "ns=0;i=2993", attributeId: AttributeIds.Value },
    { samplingInterval: 50, queueSize: 1 }, TimestampsToReturn.Both)
    .on("changed", (dv) => { shutdownReason = dv.value.value && dv.value.value.text; });
  await until("server state running", () => serverState === 0);
  await host.command("shutdown", /^SHUTDOWN/);
  await until("shutdown state", () => serverState === 4);
  await until("shutdown reason", () => shutdownReason === "Работа сервера завершена пользователем.");
  console.log("shutdown reason seen:", shutdownReason);

  try { await client.disconnect(); } catch (e) { /* the session is already gone */ }
  await until("counts back to zero", async () => {
    const s = await host.stats();
    return s.instances === 0 && s.locks === 0 && s.inuse === 0;
  });
  for (const name of ["GBOnDestroyInstance", "GBOnUnLock"]) assert.ok(host.calls(name) >= 1, name);
  assert.equal(await host.quit(), 0);
  clearTimeout(overall);
  console.log("PASS");
}

main().catch((e) => {
  console.error("FAIL:", e && e.stack ? e.stack : e);
  process.exit(1);
});
