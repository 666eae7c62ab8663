// Counts the time-series records the relays of the OPC UA benchmark publish:
// per topic, values received and items that delivered at least one value,
// from a start mark to an end mark (SIGUSR1 starts, SIGUSR2 prints and exits).
// usage: node collector.js MQTT_PORT N TOPIC...
"use strict";
const mqtt = require("mqtt");

const [port, countText, ...topics] = process.argv.slice(2);
const count = Number(countText);
const tallies = new Map(topics.map((t) => [t, { values: 0, seen: new Uint8Array(count), bad: 0 }]));
let counting = false;
let started = 0;

const client = mqtt.connect(`mqtt://127.0.0.1:${port}`, { clientId: "bench-collector" });
client.on("connect", () => {
  client.subscribe(topics, { qos: 0 }, () => console.error("collecting"));
});
client.on("message", (topic, payload) => {
  if (!counting) return;
  const tally = tallies.get(topic);
  if (!tally) return;
  let record;
  try {
    record = JSON.parse(payload);
  } catch (e) {
    ++tally.bad;
    return;
  }
  for (const entry of record.body || []) {
    const index = Number(String(entry.name).slice(1));
    ++tally.values;
    if (index >= 0 && index < count) tally.seen[index] = 1;
  }
});
process.on("SIGUSR1", () => {
  counting = true;
  started = Date.now();
});
process.on("SIGUSR2", () => {
  const seconds = (Date.now() - started) / 1000;
  const result = {};
  for (const [topic, tally] of tallies) {
    let silent = 0;
    for (const s of tally.seen) silent += s ? 0 : 1;
    result[topic] = {
      delivered_per_s: Math.round(tally.values / seconds), values: tally.values,
      items_never_delivered: silent, unparsable: tally.bad,
    };
  }
  console.log(JSON.stringify(result));
  client.end(true, () => process.exit(0));
});
