// Interoperability of the endpoint with node-opcua-client: connect, browse every item, read with
// MaxAge 0 and a large MaxAge, subscribe to changes, write refused, shutdown reason seen, and the
// toolkit callbacks each called. Usage: node interop.test.js <ua_test_host> [--record DIR]
"use strict";
const assert = require("node:assert/strict");
const {
  OPCUAClient, AttributeIds, BrowseDirection, DataType, MessageSecurityMode, SecurityPolicy,
  StatusCodes, TimestampsToReturn, ClientSubscription, ClientMonitoredItem, NodeClass,
  DataChangeFilter, DataChangeTrigger, DeadbandType, makeBrowsePath, ExtensionObject,
} = require("node-opcua-client");
const { Host } = require("./host");

const ITEMS = 300;
const hostPath = process.argv[2];
const hostArgs = ["--items", String(ITEMS), "--quiet"];
const recordAt = process.argv.indexOf("--record");
if (recordAt > 0) hostArgs.push("--record", process.argv[recordAt + 1]);

const overall = setTimeout(() => {
  console.error("FAIL: overall time-out");
  process.exit(1);
}, 150000);

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(what, predicate, timeoutMs = 10000) {
  const end = Date.now() + timeoutMs;
  while (Date.now() < end) {
    if (predicate()) return;
    await sleep(20);
  }
  throw new Error(`timed out waiting for ${what}`);
}
function itemId(i) {
  const device = Math.floor(i / 10);
  const param = i === 1 ? 0 : i % 10;
  return `Адаптер_1(COM1).Устройство${device}(T №${device + 1}).P${param}`;
}
function expectedStatus(i) {
  if (i % 50 === 7) return StatusCodes.BadNotConnected;
  if (i % 50 === 9) return StatusCodes.BadNoCommunication;
  return StatusCodes.Good;
}

async function main() {
  const host = new Host(hostPath, hostArgs);
  const port = await host.port();
  const url = `opc.tcp://127.0.0.1:${port}`;
  console.log("host on", url);

  const client = OPCUAClient.create({
    applicationName: "qora-interop-test",
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    requestedSessionTimeout: 60000,
    keepSessionAlive: false,
  });
  await client.connect(url);

  // Discovery.
  const endpoints = await client.getEndpoints();
  assert.equal(endpoints.length, 1);
  assert.equal(endpoints[0].endpointUrl, url, "endpoint URL mirrored");
  assert.equal(endpoints[0].securityMode, MessageSecurityMode.None);
  assert.equal(endpoints[0].userIdentityTokens[0].tokenType, 0, "anonymous token policy");
  const servers = await client.findServers();
  assert.equal(servers.length, 1);

  const session = await client.createSession();
  console.log("session created");

  // Browse Objects with small pages so continuation points are used.
  session.requestedMaxReferencesPerNode = 40;
  const refs = [];
  let result = await session.browse({
    nodeId: "ns=0;i=85", browseDirection: BrowseDirection.Forward,
    referenceTypeId: "HierarchicalReferences", includeSubtypes: true, nodeClassMask: 0, resultMask: 63,
  });
  assert.equal(result.statusCode, StatusCodes.Good);
  refs.push(...result.references);
  let pages = 1;
  while (result.continuationPoint && result.continuationPoint.length) {
    result = await session.browseNext(result.continuationPoint, false);
    assert.equal(result.statusCode, StatusCodes.Good);
    refs.push(...result.references);
    pages++;
  }
  assert.ok(pages > 1, "continuation points used");
  const itemRefs = refs.filter((r) => r.nodeId.namespace === 1);
  assert.equal(itemRefs.length, ITEMS, "one reference per item");
  assert.ok(refs.some((r) => r.nodeId.toString() === "ns=0;i=2253"), "Server object under Objects");
  const ids = itemRefs.map((r) => r.nodeId.value);
  assert.equal(ids[0], itemId(0));
  assert.equal(ids[1], itemId(0) + "#2", "duplicate item ID gets #2 in its NodeId");
  assert.equal(itemRefs[1].browseName.name, itemId(0), "browse name keeps the item ID");
  assert.equal(itemRefs[1].displayName.text, itemId(0));
  assert.equal(itemRefs[5].nodeClass, NodeClass.Variable);
  assert.equal(itemRefs[5].typeDefinition.toString(), "ns=0;i=63");
  console.log(`browsed ${itemRefs.length} items in ${pages} pages`);

  // Browse the standard tree a generic client walks.
  for (const node of ["ns=0;i=84", "ns=0;i=86", "ns=0;i=2253", "ns=0;i=2256", "ns=0;i=88", "ns=0;i=91"]) {
    const r = await session.browse(node);
    assert.equal(r.statusCode, StatusCodes.Good, node);
    assert.ok(r.references.length > 0, node);
  }
  const unknown = await session.browse("ns=1;s=no such item");
  assert.equal(unknown.statusCode, StatusCodes.BadNodeIdUnknown);

  // Read every item, MaxAge 0 (device) and a large MaxAge (cache).
  const nodeIds = ids.map((v) => `ns=1;s=${v}`);
  const toRead = nodeIds.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value }));
  for (const maxAge of [0, 3600000]) {
    const dvs = await session.read(toRead, maxAge);
    assert.equal(dvs.length, ITEMS);
    dvs.forEach((dv, i) => {
      assert.equal(dv.statusCode.value, expectedStatus(i).value, `status of item ${i}`);
      assert.equal(dv.value.dataType, DataType.Float, `type of item ${i}`);
      assert.ok(dv.sourceTimestamp instanceof Date, "source timestamp");
      assert.ok(Math.abs(dv.sourceTimestamp.getTime() - Date.now()) < 60000, "source timestamp is recent");
    });
  }
  let stats = await host.stats();
  assert.ok(stats.ReadDevice >= 1, "MaxAge 0 reaches the device read");
  assert.ok(stats.ReadCache >= 1, "large MaxAge reads the cache");
  console.log("read all items with MaxAge 0 and 3600000");

  // Item attributes.
  const attrs = await session.read([
    { nodeId: nodeIds[3], attributeId: AttributeIds.DataType },
    { nodeId: nodeIds[3], attributeId: AttributeIds.AccessLevel },
    { nodeId: nodeIds[3], attributeId: AttributeIds.UserAccessLevel },
    { nodeId: nodeIds[3], attributeId: AttributeIds.ValueRank },
    { nodeId: nodeIds[3], attributeId: AttributeIds.BrowseName },
    { nodeId: nodeIds[3], attributeId: AttributeIds.DisplayName },
    { nodeId: nodeIds[3], attributeId: AttributeIds.NodeClass },
    { nodeId: nodeIds[3], attributeId: AttributeIds.EventNotifier },
    { nodeId: "ns=1;s=missing", attributeId: AttributeIds.Value },
  ]);
  assert.equal(attrs[0].value.value.toString(), "ns=0;i=10");
  assert.equal(attrs[1].value.value, 1);
  assert.equal(attrs[2].value.value, 1);
  assert.equal(attrs[3].value.value, -1);
  assert.equal(attrs[4].value.value.name, itemId(3));
  assert.equal(attrs[5].value.value.text, itemId(3));
  assert.equal(attrs[6].value.value, NodeClass.Variable);
  assert.equal(attrs[7].statusCode, StatusCodes.BadAttributeIdInvalid);
  assert.equal(attrs[8].statusCode, StatusCodes.BadNodeIdUnknown);

  // The Server object.
  const srv = await session.read([
    { nodeId: "ns=0;i=2256", attributeId: AttributeIds.Value },
    { nodeId: "ns=0;i=2255", attributeId: AttributeIds.Value },
    { nodeId: "ns=0;i=2271", attributeId: AttributeIds.Value },
    { nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value },
    { nodeId: "ns=0;i=11705", attributeId: AttributeIds.Value },
  ]);
  srv.forEach((dv, i) => assert.equal(dv.statusCode, StatusCodes.Good, `server value ${i}`));
  assert.equal(srv[0].value.value.state, 0, "ServerStatus decoded, Running");
  assert.equal(srv[0].value.value.buildInfo.manufacturerName, "KIVRAN");
  assert.deepEqual(srv[1].value.value, ["http://opcfoundation.org/UA/", "urn:qora:opc-server"]);
  assert.deepEqual(srv[2].value.value, ["en", "en-US", "ru-RU", "ru"]);
  assert.equal(srv[3].value.value, 0);
  const status = await session.readServerStatus?.() ?? null;
  if (status) assert.equal(status.state, 0);

  const paths = await session.translateBrowsePath([
    makeBrowsePath("RootFolder", "/Objects/Server.ServerStatus.State"),
    // Item IDs hold "." and "(", which the path syntax would split: the element is built as is.
    {
      startingNode: "ns=0;i=85",
      relativePath: { elements: [{ referenceTypeId: "ns=0;i=35", isInverse: false, includeSubtypes: true,
        targetName: { namespaceIndex: 1, name: itemId(4) } }] },
    },
    makeBrowsePath("ObjectsFolder", "/1:nothing"),
  ]);
  assert.equal(paths[0].targets[0].targetId.toString(), "ns=0;i=2259");
  assert.equal(paths[1].targets[0].targetId.value, itemId(4));
  assert.equal(paths[2].statusCode, StatusCodes.BadNoMatch);
  const registered = await session.registerNodes([nodeIds[0]]);
  assert.equal(registered[0].value, itemId(0));
  await session.unregisterNodes(registered);

  // Write: the toolkit is told, the answer is BadNotWritable.
  const writeStatus = await session.write({
    nodeId: nodeIds[2], attributeId: AttributeIds.Value,
    value: { value: { dataType: DataType.Float, value: 42 } },
  });
  assert.equal(writeStatus, StatusCodes.BadNotWritable);
  console.log("write refused with BadNotWritable");

  // Subscription: data changes as values change.
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
  });
  await new Promise((resolve, reject) => {
    subscription.on("started", resolve);
    subscription.on("error", reject);
  });
  const changes = new Map();
  const monitored = [];
  for (let i = 0; i < 20; i++) {
    const mi = ClientMonitoredItem.create(subscription, { nodeId: nodeIds[i], attributeId: AttributeIds.Value },
      { samplingInterval: 100, discardOldest: true, queueSize: 1 }, TimestampsToReturn.Both);
    mi.on("changed", (dv) => changes.set(i, (changes.get(i) || 0) + 1));
    monitored.push(mi);
  }
  // Absolute deadband of 5: the value rises 0.5 per update, so far fewer notifications.
  let deadbandChanges = 0;
  const deadbandItem = ClientMonitoredItem.create(subscription, { nodeId: nodeIds[30], attributeId: AttributeIds.Value },
    {
      samplingInterval: 100, discardOldest: true, queueSize: 1,
      filter: new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue, deadbandType: DeadbandType.Absolute, deadbandValue: 5 }),
    }, TimestampsToReturn.Both);
  deadbandItem.on("changed", () => deadbandChanges++);
  let shutdownReason = null;
  let serverState = null;
  const reasonItem = ClientMonitoredItem.create(subscription, { nodeId: "ns=0;i=2993", attributeId: AttributeIds.Value },
    { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
  reasonItem.on("changed", (dv) => { shutdownReason = dv.value.value && dv.value.value.text; });
  const stateItem = ClientMonitoredItem.create(subscription, { nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value },
    { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
  stateItem.on("changed", (dv) => { serverState = dv.value.value; });

  await until("three changes of every monitored item", () => {
    for (let i = 0; i < 20; i++) if ((changes.get(i) || 0) < 3) return false;
    return true;
  }, 15000);
  assert.ok(deadbandChanges <= 2, `deadband limits notifications (${deadbandChanges})`);
  await until("server state sample", () => serverState !== null, 5000);
  assert.equal(serverState, 0);
  console.log("data changes received:", [...changes.values()].join(","), "deadband:", deadbandChanges);

  // Raw CreateMonitoredItems: percent deadband and events are refused per item.
  const raw = await session.createMonitoredItems({
    subscriptionId: subscription.subscriptionId,
    timestampsToReturn: TimestampsToReturn.Both,
    itemsToCreate: [
      {
        itemToMonitor: { nodeId: nodeIds[40], attributeId: AttributeIds.Value }, monitoringMode: 2,
        requestedParameters: {
          clientHandle: 9001, samplingInterval: 100, queueSize: 1, discardOldest: true,
          filter: new DataChangeFilter({ trigger: DataChangeTrigger.StatusValue, deadbandType: DeadbandType.Percent, deadbandValue: 10 }),
        },
      },
      {
        itemToMonitor: { nodeId: "ns=0;i=2253", attributeId: AttributeIds.EventNotifier }, monitoringMode: 2,
        requestedParameters: { clientHandle: 9002, samplingInterval: 0, queueSize: 10, discardOldest: true },
      },
      {
        itemToMonitor: { nodeId: "ns=1;s=missing", attributeId: AttributeIds.Value }, monitoringMode: 2,
        requestedParameters: { clientHandle: 9003, samplingInterval: 100, queueSize: 1, discardOldest: true },
      },
    ],
  });
  assert.equal(raw.results[0].statusCode, StatusCodes.BadMonitoredItemFilterUnsupported);
  assert.equal(raw.results[1].statusCode, StatusCodes.BadNotSupported);
  assert.equal(raw.results[2].statusCode, StatusCodes.BadNodeIdUnknown);

  // Unsubscribe a few items: the toolkit hears of it.
  await monitored[0].terminate();
  stats = await host.stats();
  assert.ok(stats.active > 0, "items active while monitored");

  // Shutdown: the subscriber sees State = Shutdown and the reason before the session ends.
  const reason = "Сервер остановлен оператором";
  await host.command("shutdown " + reason, /^DONE shutdown/, 15000);
  await until("shutdown reason", () => shutdownReason === reason, 10000);
  await until("shutdown state", () => serverState === 4, 10000);
  console.log("shutdown reason seen:", shutdownReason);

  try { await client.disconnect(); } catch (e) { /* the session is already gone */ }
  await until("channel closed", () => host.calls("ChannelClosed") >= 1, 10000);
  stats = await host.stats();
  for (const name of ["SessionCreated", "SessionClosed", "ChannelOpened", "ChannelClosed", "ItemsActivated", "ItemsDeactivated"])
    assert.ok(host.calls(name) >= 1, `callback ${name} called`);
  for (const name of ["ReadDevice", "ReadCache", "Write", "Locales"]) assert.ok(stats[name] >= 1, `callback ${name} called`);
  assert.equal(stats.sessions, 0, "every session closed");
  assert.equal(stats.active, 0, "every monitored item deactivated");
  assert.equal(stats.channels, 0, "every channel closed");
  const code = await host.quit();
  assert.equal(code, 0);
  console.log("PASS interop");
}

main().then(() => { clearTimeout(overall); process.exit(0); }, (err) => {
  console.error("FAIL:", err && err.stack || err);
  process.exit(1);
});
