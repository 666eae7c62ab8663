#!/usr/bin/env bash
# OPC UA benchmark: the test server (tests/opcua_server) holding N Double items
# that each change every PERIOD ms, relayed side by side in the same run by
# weft-pipe (OPCUASUBFLAT -> FLATTOTIMESERIES -> ZEBOUT, sampling and
# publishing every 100 ms, queue size 1) and by the Node.js relay of relay.js
# (node-opcua-client + MQTT.js) to a private Mosquitto broker, where
# collector.js counts what each delivers during SECONDS after a warm-up.
# Prints one JSON line per relay: values/s the server produces, delivered/s,
# items that delivered nothing while measured, CPU seconds per 1,000 values
# delivered and peak RSS.
#
# usage: bench/opcua/run-opcua.sh [N] [SECONDS] [PERIOD_MS] [WARMUP_S]
# environment: BENCH_LOG_DIR (keeps the logs of the broker, server and relays there)
set -euo pipefail
cd "$(dirname "$0")/../.."
n=${1:-1000}
seconds=${2:-20}
period=${3:-100}
warmup=${4:-15}
build=${BUILD_DIR:-build}
[ -x "$build/weft-pipe" ] || { echo "build weft-pipe first" >&2; exit 2; }
[ -d bench/opcua/node_modules ] || npm ci --prefix bench/opcua --no-audit --no-fund >&2
[ -d tests/opcua_server/node_modules ] || npm ci --prefix tests/opcua_server --no-audit --no-fund >&2

work=$(mktemp -d)
free_port() { python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])'; }
mport=$(free_port)
uport=$(free_port)
cat > "$work/mosquitto.conf" <<CONF
listener $mport 127.0.0.1
allow_anonymous true
max_queued_messages 0
max_inflight_messages 0
CONF
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "${BENCH_LOG_DIR:-}" ]; then cp "$work"/*.log "$BENCH_LOG_DIR"/ 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mosquitto -c "$work/mosquitto.conf" > "$work/broker.log" 2>&1 &
pids+=($!)
node tests/opcua_server/server.js "$uport" --bench "$n" --bench-period "$period" \
  > "$work/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 300); do grep -q '^ready' "$work/server.log" && break; sleep 0.2; done
grep -q '^ready' "$work/server.log" || { echo "the test server did not start" >&2; cat "$work/server.log" >&2; exit 1; }

python3 - "$n" "$uport" "$mport" > "$work/chain.json" <<'PY'
import json, sys
n, uport, mport = int(sys.argv[1]), sys.argv[2], sys.argv[3]
print(json.dumps({
  "blocks": {
    "sub": {"type": "OPCUASUBFLAT", "config": {"log_level": "warn",
      "transport_addr": f"opc.tcp://127.0.0.1:{uport}",
      "data_map": [{"id": f"ns=1;s=Bench.{i}", "alias": f"B{i}"} for i in range(n)],
      "options": {"publishing_interval_ms": 100, "sampling_interval_ms": 100, "queue_size": 1,
                  "timeout_ms": 30000}}},
    "ts": {"type": "FLATTOTIMESERIES"},
    "out": {"type": "ZEBOUT", "config": {"transport_addr": f"mqtt-tcp://127.0.0.1:{mport}",
            "method": "PUB", "node_ref": "bench/weft", "options": {"qos": 0}}}},
  "mappings": {"sub:output": "ts:input", "ts:output": "out:input"}}))
PY

node bench/opcua/collector.js "$mport" "$n" bench/weft bench/node > "$work/collector.out" 2> "$work/collector.err" &
collector=$!
pids+=($collector)
sleep 1
(cd "$build" && exec env healthcheck_path="$work/health" ./weft-pipe -f "$work/chain.json") \
  > "$work/weft.log" 2>&1 &
weft=$!
pids+=($weft)
node bench/opcua/relay.js "opc.tcp://127.0.0.1:$uport" "$n" "$mport" bench/node > "$work/node.log" 2>&1 &
nodejs=$!
pids+=($nodejs)
sleep "$warmup"

ticks() { awk '{print $14 + $15}' /proc/"$1"/stat; }
w0=$(ticks $weft); j0=$(ticks $nodejs); s0=$(ticks "${pids[1]}")
kill -USR1 $collector
sleep "$seconds"
kill -USR2 $collector
w1=$(ticks $weft); j1=$(ticks $nodejs); s1=$(ticks "${pids[1]}")
wrss=$(awk '/VmHWM/ {print $2}' /proc/$weft/status)
jrss=$(awk '/VmHWM/ {print $2}' /proc/$nodejs/status)
wait $collector || true
result=$(cat "$work/collector.out")
hz=$(getconf CLK_TCK)
python3 - "$result" "$n" "$period" "$seconds" "$hz" "$((w1 - w0))" "$((j1 - j0))" "$wrss" "$jrss" "$((s1 - s0))" <<'PY'
import json, sys
result = json.loads(sys.argv[1])
n, period, seconds, hz = int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
cpu = {"weft-pipe": int(sys.argv[6]) / hz, "node": int(sys.argv[7]) / hz}
rss = {"weft-pipe": int(sys.argv[8]) / 1024, "node": int(sys.argv[9]) / 1024}
for name, topic in (("weft-pipe", "bench/weft"), ("node", "bench/node")):
  r = result[topic]
  print(json.dumps({"relay": name, "n": n, "period_ms": period,
    "produced_per_s": round(n * 1000 / period), "delivered_per_s": r["delivered_per_s"],
    "items_never_delivered": r["items_never_delivered"],
    "cpu_s_per_1000": round(1000 * cpu[name] / r["values"], 4) if r["values"] else None,
    "peak_rss_mib": round(rss[name], 1)}))
print(json.dumps({"server_cpu_percent": round(100 * int(sys.argv[10]) / hz / seconds)}))
PY
if grep -q "relay failed" "$work/node.log"; then
  echo "node relay: $(grep -A3 "relay failed" "$work/node.log" | head -c 600)" >&2
fi
