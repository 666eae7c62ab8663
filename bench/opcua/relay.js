// The OPC UA benchmark's point of comparison: the plain Node.js way of
// relaying N OPC UA items to MQTT, one time-series record per value, shaped
// as weft-pipe's OPCUASUBFLAT -> FLATTOTIMESERIES -> ZEBOUT chain shapes it.
// usage: node relay.js OPCUA_URL N MQTT_PORT TOPIC
"use strict";
const mqtt = require("mqtt");
const {
  OPCUAClient, ClientSubscription, ClientMonitoredItemGroup, AttributeIds, TimestampsToReturn,
} = require("node-opcua-client");

const [url, countText, mqttPort, topic] = process.argv.slice(2);
const count = Number(countText);

(async () => {
  const broker = mqtt.connect(`mqtt://127.0.0.1:${mqttPort}`, { clientId: "bench-node-opcua" });
  await new Promise((resolve) => broker.once("connect", resolve));
  const client = OPCUAClient.create({ endpointMustExist: false, keepSessionAlive: true });
  await client.connect(url);
  const session = await client.createSession();
  const subscription = ClientSubscription.create(session, {
    requestedPublishingInterval: 100, requestedLifetimeCount: 1000,
    requestedMaxKeepAliveCount: 10, maxNotificationsPerPublish: 0,
    publishingEnabled: true, priority: 1,
  });
  // In groups within the server's limit of monitored items per call.
  const perCall = 1000;
  for (let first = 0; first < count; first += perCall) {
    const items = [];
    for (let i = first; i < Math.min(count, first + perCall); ++i) {
      items.push({ nodeId: `ns=1;s=Bench.${i}`, attributeId: AttributeIds.Value });
    }
    const group = ClientMonitoredItemGroup.create(subscription, items,
      { samplingInterval: 100, discardOldest: true, queueSize: 1 }, TimestampsToReturn.Both);
    group.on("changed", (item, dataValue, index) => {
      const record = {
        body: [{
          attributes: { source: "ZEB" },
          datapoints: [[Date.now(), dataValue.value.value, 3]],
          name: `B${first + index}`,
        }],
        messageId: "weft-pipe",
      };
      broker.publish(topic, JSON.stringify(record), { qos: 0 });
    });
    await new Promise((resolve, reject) => {
      group.once("initialized", resolve);
      group.once("err", reject);
    });
  }
  console.log("relaying", count);
  const stop = async () => {
    try { await subscription.terminate(); await session.close(); await client.disconnect(); } catch (e) { }
    broker.end(true, () => process.exit(0));
  };
  process.on("SIGTERM", stop);
  process.on("SIGINT", stop);
})().catch((error) => {
  console.error("relay failed:", error);
  process.exit(1);
});
