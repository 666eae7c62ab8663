'use strict';
// The relay of bench/relay/run-relay.sh written the usual Node.js way, measured
// beside weft-pipe on the same machine: MQTT.js, V8's JSON, one connection that
// subscribes to the input topic and publishes each message's time-series record
// (the JSONTOTIMESERIES format, keys in the same order) to the output topic.
//
// node relay.js PORT IN_TOPIC OUT_TOPIC QOS
const mqtt = require('mqtt');

const [port, inTopic, outTopic, qosText] = process.argv.slice(2);
const qos = Number(qosText);
const attributes = { source: 'ZEB' };

const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);

// Members are visited in key order, as the C++ JSON library keeps them.
function walk(node, body) {
  if (!isObject(node)) return;
  for (const key of Object.keys(node).sort()) {
    const value = node[key];
    const has = (k) => isObject(value) && Object.prototype.hasOwnProperty.call(value, k);
    const nested = (k) => has(k) && isObject(value[k]);
    if (!(has('timestamp') || has('type') || has('val')) ||
        nested('timestamp') || nested('type') || nested('val')) {
      walk(value, body);
      continue;
    }
    const usable = (k) => has(k) && value[k] !== null;
    if (!usable('timestamp') || !usable('type') || !usable('val')) continue;
    body.push({ attributes, datapoints: [[value.timestamp, value.val, 3]], name: key });
  }
}

const client = mqtt.connect(`mqtt://127.0.0.1:${port}`, { clean: true, reconnectPeriod: 1000 });
client.on('connect', () => client.subscribe(inTopic, { qos }));
client.on('message', (_topic, payload) => {
  let document;
  try {
    document = JSON.parse(payload);
  } catch {
    return;
  }
  const body = [];
  walk(document, body);
  client.publish(outTopic, JSON.stringify({ body, messsageId: 'weft-pipe' }), { qos });
});
