#!/usr/bin/env bash
# Relay benchmark: a private Mosquitto broker on a free loopback port (never
# dropping messages for slow subscribers), weft-pipe relaying IN -> OUT through
# the chain given (default: plain ZEBIN -> ZEBOUT), and relay_probe publishing
# and collecting. Prints the probe's JSON line plus weft-pipe's CPU seconds per
# 1,000 messages and peak RSS.
#
# usage: bench/relay/run-relay.sh [COUNT] [RATE] [QOS] [CHAIN] [PAYLOAD]
#   CHAIN: relay (ZEBIN -> ZEBOUT) or timeseries (ZEBIN -> JSONTOTIMESERIES -> ZEBOUT)
set -euo pipefail
cd "$(dirname "$0")/../.."
count=${1:-10000}
rate=${2:-2000}
qos=${3:-0}
chain=${4:-relay}
payload=${5:-/work/shared/bench/telemetry.json}
build=${BUILD_DIR:-build}
probe="$build/bench/relay_probe"
[ -x "$probe" ] || { echo "build with -DWEFT_BENCH=ON first (make bench)" >&2; exit 2; }

work=$(mktemp -d)
port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
cat > "$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
max_queued_messages 0
max_inflight_messages 0
set_tcp_nodelay true
CONF
mosquitto -c "$work/mosquitto.conf" > "$work/broker.log" 2>&1 &
broker=$!
cleanup() { kill "$broker" "${relay:-}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

middle=""
out_from="in:output"
if [ "$chain" = timeseries ]; then
  middle='"ts": {"type": "JSONTOTIMESERIES"},'
  out_from="ts:output"
fi
cat > "$work/chain.json" <<JSON
{
  "blocks": {
    "in": {"type": "ZEBIN", "config": {"transport_addr": "mqtt-tcp://127.0.0.1:$port",
           "method": "SUB", "node_ref": "bench/in", "options": {"qos": $qos}}},
    $middle
    "out": {"type": "ZEBOUT", "config": {"transport_addr": "mqtt-tcp://127.0.0.1:$port",
            "method": "PUB", "node_ref": "bench/out", "options": {"qos": $qos}}}
  },
  "mappings": {$( [ "$chain" = timeseries ] && echo '"in:output": "ts:input",' ) "$out_from": "out:input"}
}
JSON
sleep 0.3
(cd "$build" && exec env healthcheck_path="$work/health" ./weft-pipe -f "$work/chain.json") \
  > "$work/relay.log" 2>&1 &
relay=$!
sleep 1
read -r u0 s0 < <(awk '{print $14, $15}' /proc/$relay/stat)
"$probe" "$port" bench/in bench/out "$count" "$rate" "$qos" "$payload"
read -r u1 s1 < <(awk '{print $14, $15}' /proc/$relay/stat)
ticks=$(getconf CLK_TCK)
rss=$(awk '/VmHWM/ {print $2}' /proc/$relay/status)
awk -v u=$((u1 - u0)) -v s=$((s1 - s0)) -v t="$ticks" -v n="$count" -v rss="$rss" \
  'BEGIN { printf "{\"relay_cpu_s_per_1000\":%.4f,\"relay_peak_rss_mib\":%.1f}\n", (u + s) / t / n * 1000, rss / 1024 }'
