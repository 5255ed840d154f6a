// What node-opcua-client sees of the address space with items placed under points and devices:
//  - Objects organizes the points (and the Server object), not the items; browsing points and
//    devices reaches every item by its unchanged NodeId (duplicates with "#2");
//  - TranslateBrowsePathsToNodeIds finds an item and a counter by point, device and parameter names;
//  - ServerDiagnosticsSummary, EnabledFlag, RedundancySupport, ServiceLevel and the limits read;
//  - a subscribed device counter reports each change the diagnostics provider makes.
// Usage: node tree.test.js <ua_test_host>
"use strict";
const assert = require("node:assert/strict");
const {
  OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy, TimestampsToReturn, BrowseDirection,
  ClientSubscription, ClientMonitoredItem, StatusCodes,
} = require("node-opcua-client");
const { Host } = require("./host");

const ITEMS = 100;
const overall = setTimeout(() => {
  console.error("FAIL: overall time-out");
  process.exit(1);
}, 60000);

const pointName = (p) => `Адаптер_${p + 1}(COM${p + 1})`;
const deviceName = (d) => `Устройство${d}(T №${d + 1})`;
function itemId(i) {
  const device = Math.floor(i / 10);
  const param = i === 1 ? 0 : i % 10;
  return `${pointName(Math.floor(device / 4))}.${deviceName(device)}.P${param}`;
}

async function children(session, nodeId) {
  const out = [];
  let result = await session.browse({
    nodeId, browseDirection: BrowseDirection.Forward, referenceTypeId: "HierarchicalReferences",
    includeSubtypes: true, nodeClassMask: 0, resultMask: 63,
  });
  assert.equal(result.statusCode.value, 0, `browse ${nodeId}`);
  for (;;) {
    out.push(...result.references);
    if (!result.continuationPoint || result.continuationPoint.length === 0) break;
    result = await session.browseNext(result.continuationPoint, false);
  }
  return out.map((r) => ({ id: r.nodeId.toString(), name: r.browseName.name, ns: r.browseName.namespaceIndex,
    display: r.displayName.text, cls: r.nodeClass }));
}

async function browseTree(session) {
  const objects = await children(session, "i=85");
  const points = objects.filter((r) => r.id.startsWith("ns=1;s=Point:"));
  assert.deepEqual(objects.map((r) => r.name), ["Server", pointName(0), pointName(1), pointName(2)]);
  const found = new Map();
  for (const point of points) {
    const devices = await children(session, point.id);
    assert.equal(devices[0].name, "Diagnostics");
    for (const device of devices.filter((r) => r.id.includes("/Device:"))) {
      const items = await children(session, device.id);
      assert.equal(items[0].id, `${device.id}/Diagnostics`);
      for (const item of items.slice(1)) {
        assert.equal(item.ns, 1);
        assert.match(item.name, /^P\d$/);
        assert.equal(item.display, item.name, "display name is the parameter");
        found.set(item.id, item.display);
      }
    }
  }
  const expected = new Set();
  for (let i = 0; i < ITEMS; ++i) expected.add(`ns=1;s=${itemId(i)}${i === 1 ? "#2" : ""}`);
  assert.deepEqual(new Set(found.keys()), expected);
  console.log(`browsed ${points.length} points, ${found.size} items`);
}

async function translate(session, names) {
  const result = await session.translateBrowsePath({
    startingNode: "i=85",
    relativePath: { elements: names.map((name) => ({
      referenceTypeId: "i=33", isInverse: false, includeSubtypes: true, targetName: { namespaceIndex: 1, name },
    })) },
  });
  return { status: result.statusCode, targets: (result.targets || []).map((t) => t.targetId.toString()) };
}

async function serverNodes(session) {
  const ids = ["i=2275", "i=2294", "i=3709", "i=2267", "i=11709", "i=11702", "i=11703", "i=2277", "i=2278"];
  const values = await session.read(ids.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value })));
  for (const [k, v] of values.entries()) assert.equal(v.statusCode.value, 0, ids[k]);
  const summary = values[0].value.value;
  assert.ok(summary.currentSessionCount >= 1, JSON.stringify(summary));
  assert.ok(summary.cumulatedSessionCount >= 1);
  assert.equal(summary.serverViewCount, 0);
  assert.equal(values[1].value.value, true);
  assert.equal(values[2].value.value, 0, "RedundancySupport None");
  assert.equal(values[3].value.value, 255, "ServiceLevel");
  assert.ok(values[4].value.value > 0 && values[5].value.value > 0 && values[6].value.value > 0);
  assert.equal(values[7].value.value, summary.currentSessionCount);
  console.log("ServerDiagnosticsSummary:", JSON.stringify(summary));
}

async function subscribeCounter(session, host) {
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
    maxNotificationsPerPublish: 0, publishingEnabled: true, priority: 1,
  });
  await new Promise((resolve, reject) => {
    subscription.once("started", resolve);
    subscription.once("internal_error", reject);
  });
  const seen = [];
  const waiters = [];
  const item = ClientMonitoredItem.create(subscription,
    { nodeId: "ns=1;s=Point:0/Device:0/Diagnostics/ConsecutiveUnanswered", attributeId: AttributeIds.Value },
    { samplingInterval: 100, discardOldest: true, queueSize: 10 }, TimestampsToReturn.Both);
  item.on("changed", (dv) => {
    seen.push(dv.value.value);
    for (const w of waiters.splice(0)) w();
  });
  const waitFor = async (value) => {
    const deadline = Date.now() + 5000;
    while (!seen.includes(value)) {
      assert.ok(Date.now() < deadline, `counter ${value} not reported; saw ${seen}`);
      await new Promise((r) => { waiters.push(r); setTimeout(r, 200); });
    }
  };
  await waitFor(0);
  await host.command("diag", /^DONE diag 1/);
  await waitFor(1);
  await host.command("diag", /^DONE diag 2/);
  await waitFor(2);
  assert.deepEqual(seen, [0, 1, 2]);
  const requests = await session.read({ nodeId: "ns=1;s=Point:0/Diagnostics/RequestsSent", attributeId: AttributeIds.Value });
  assert.deepEqual(requests.value.value, [0, 2], "UInt64 as [high, low]");
  const other = await session.read({ nodeId: "ns=1;s=Point:1/Diagnostics/RequestsSent", attributeId: AttributeIds.Value });
  assert.notEqual(other.statusCode.value, 0, "a point without counters reads Bad");
  await subscription.terminate();
}

async function main() {
  const host = new Host(process.argv[2], ["--items", String(ITEMS), "--placed", "--quiet"]);
  const port = await host.port();
  const client = OPCUAClient.create({
    applicationName: "qora-tree-test", endpointMustExist: false,
    securityMode: MessageSecurityMode.None, securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 }, keepSessionAlive: false,
  });
  try {
    await client.connect(`opc.tcp://127.0.0.1:${port}`);
    const session = await client.createSession();
    await browseTree(session);
    const one = await translate(session, [pointName(1), deviceName(5), "P3"]);
    assert.deepEqual(one.targets, [`ns=1;s=${itemId(53)}`]);
    const dup = await translate(session, [pointName(0), deviceName(0), "P0"]);
    assert.deepEqual(dup.targets, [`ns=1;s=${itemId(0)}`, `ns=1;s=${itemId(1)}#2`]);
    const counter = await translate(session, [pointName(0), "Diagnostics", "PortOpen"]);
    assert.deepEqual(counter.targets, ["ns=1;s=Point:0/Diagnostics/PortOpen"]);
    const none = await translate(session, [pointName(0), "P3"]);
    assert.equal(none.status.value, StatusCodes.BadNoMatch.value);
    await serverNodes(session);
    await subscribeCounter(session, host);
    await session.close();
    await client.disconnect();
  } finally {
    assert.equal(await host.quit(), 0);
  }
}

main().then(() => {
  clearTimeout(overall);
  console.log("PASS");
  process.exit(0);
}, (e) => {
  console.error("FAIL:", e && e.stack || e);
  process.exit(1);
});
