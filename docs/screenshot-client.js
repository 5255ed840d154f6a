// A short OPC UA client session against the screenshot's program, so that its event log
// shows the callbacks a client causes. Usage: node screenshot-client.js PORT
"use strict";
const { OPCUAClient, AttributeIds, MessageSecurityMode, SecurityPolicy } = require("node-opcua-client");

async function main() {
  const url = `opc.tcp://127.0.0.1:${process.argv[2]}`;
  const client = OPCUAClient.create({
    applicationName: "qora-screenshot",
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 20, initialDelay: 200, maxDelay: 500 },
    keepSessionAlive: false,
  });
  await client.connect(url);
  const session = await client.createSession();
  const item = { nodeId: "ns=1;s=Узел_учёта(SIM3).Счётчик(Расходомер РС-1 №10).Объём", attributeId: AttributeIds.Value };
  for (let i = 0; i < 3; ++i) {
    await session.read([item], 0);
    await new Promise((r) => setTimeout(r, 300));
  }
  await session.close();
  await client.disconnect();
}

main().then(() => process.exit(0), (e) => { console.error(e.message); process.exit(1); });
