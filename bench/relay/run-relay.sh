#!/usr/bin/env bash
# Relay benchmark: a private Mosquitto broker on a free loopback port (never
# dropping messages for slow subscribers), weft-pipe relaying IN -> OUT through
# the chain given (default: plain ZEBIN -> ZEBOUT), and relay_probe publishing
# and collecting. Prints the probe's JSON line plus weft-pipe's CPU seconds per
# 1,000 messages and peak RSS.
#
# usage: bench/relay/run-relay.sh [COUNT] [RATE] [QOS] [CHAIN] [PAYLOAD]
#   CHAIN: relay (ZEBIN -> ZEBOUT), timeseries (ZEBIN -> JSONTOTIMESERIES -> ZEBOUT),
#   queue (ZEBIN -> ZEBOUTQUEUE, its in-flight window at the default),
#   queue-w1 (the same with one text in flight at a time),
#   baseline (the same transform in bench/relay/baseline_relay.cpp, the plain
#   single-threaded way, instead of weft-pipe), baseline-node (the same in
#   Node.js, bench/relay/node) or broker (no relay: the collector subscribes to
#   the input topic)
# environment: BROKER_NODELAY (broker's set_tcp_nodelay, default true),
#   RELAY_NODELAY (the output plane's "tcp_nodelay", default true),
#   PROBE_NODELAY (0 lets Nagle's algorithm batch the probe's publishes; default 1),
#   QUEUE_WINDOW (the queue chain's "max_in_flight"; default the block's own),
#   MONITOR (1 turns weft-pipe's HTTP endpoint on and scrapes /metrics every
#   second while the probe runs; default 0)
set -euo pipefail
cd "$(dirname "$0")/../.."
count=${1:-10000}
rate=${2:-2000}
qos=${3:-0}
chain=${4:-relay}
payload=${5:-${WEFT_BENCH_DATA:-../shared/bench/telemetry.json}}
build=${BUILD_DIR:-build}
probe="$build/bench/relay_probe"
[ -x "$probe" ] || { echo "build with -DWEFT_BENCH=ON first (make bench)" >&2; exit 2; }
[ -r "$payload" ] || { echo "cannot read the payload $payload (set WEFT_BENCH_DATA)" >&2; exit 2; }
if [ "$chain" = baseline-node ] && [ ! -d bench/relay/node/node_modules ]; then
  npm ci --prefix bench/relay/node --no-audit --no-fund >&2
fi

work=$(mktemp -d)
port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
cat > "$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
max_queued_messages 0
max_inflight_messages 0
set_tcp_nodelay ${BROKER_NODELAY:-true}
CONF
mosquitto -c "$work/mosquitto.conf" > "$work/broker.log" 2>&1 &
broker=$!
cleanup() {
  kill "$broker" "${relay:-}" "${scraper:-}" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

middle=""
out_from="in:output"
if [ "$chain" = timeseries ]; then
  middle='"ts": {"type": "JSONTOTIMESERIES"},'
  out_from="ts:output"
fi
out_type=ZEBOUT
out_extra=""
case "$chain" in
  queue) out_type=ZEBOUTQUEUE
    out_extra=", \"directory\": \"$work/queue\"${QUEUE_WINDOW:+, \"max_in_flight\": $QUEUE_WINDOW}" ;;
  queue-w1) out_type=ZEBOUTQUEUE; out_extra=", \"directory\": \"$work/queue\", \"max_in_flight\": 1" ;;
esac
service=""
if [ "${MONITOR:-0}" = 1 ]; then
  monitor_port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
  service="\"service\": {\"listen\": \"127.0.0.1:$monitor_port\"},"
fi
cat > "$work/chain.json" <<JSON
{
  $service
  "blocks": {
    "in": {"type": "ZEBIN", "config": {"transport_addr": "mqtt-tcp://127.0.0.1:$port",
           "method": "SUB", "node_ref": "bench/in", "options": {"qos": $qos}}},
    $middle
    "out": {"type": "$out_type", "config": {"transport_addr": "mqtt-tcp://127.0.0.1:$port",
            "method": "PUB", "node_ref": "bench/out", "options": {"qos": $qos, "tcp_nodelay": ${RELAY_NODELAY:-true}}$out_extra}}
  },
  "mappings": {$( [ "$chain" = timeseries ] && echo '"in:output": "ts:input",' ) "$out_from": "out:input"}
}
JSON
sleep 0.3
out_topic=bench/out
if [ "$chain" = broker ]; then
  # The broker alone, for comparison: the collector subscribes to the input
  # topic and no relay runs (its figures then describe an idle process).
  sleep 86400 &
  out_topic=bench/in
elif [ "$chain" = baseline ]; then
  "$build/bench/baseline_relay" "$port" bench/in bench/out "$qos" > "$work/relay.log" 2>&1 &
elif [ "$chain" = baseline-node ]; then
  node bench/relay/node/relay.js "$port" bench/in bench/out "$qos" > "$work/relay.log" 2>&1 &
else
  (cd "$build" && exec env healthcheck_path="$work/health" ./weft-pipe -f "$work/chain.json") \
    > "$work/relay.log" 2>&1 &
fi
relay=$!
sleep 1
if [ -n "$service" ]; then
  # A scraper at a pace a monitoring system would use; its own CPU is not counted.
  (while :; do curl -s -o /dev/null "http://127.0.0.1:$monitor_port/metrics"; sleep 1; done) &
  scraper=$!
fi
# CPU ticks (user + system) of each thread of a process, as "name ticks" lines.
thread_ticks() {
  for stat in /proc/"$1"/task/*/stat; do
    sed -E 's/^[0-9]+ \((.*)\) (.*)$/\1\t\2/' "$stat" | awk -F'\t' '{split($2, f, " "); print $1 "\t" f[12] + f[13]}'
  done 2>/dev/null
}
thread_ticks "$relay" > "$work/threads0"
read -r b0 < <(awk '{print $14 + $15}' /proc/$broker/stat)
/usr/bin/time -f '%U %S' -o "$work/probe_time" \
  "$probe" "$port" bench/in "$out_topic" "$count" "$rate" "$qos" "$payload"
read -r b1 < <(awk '{print $14 + $15}' /proc/$broker/stat)
thread_ticks "$relay" > "$work/threads1"
ticks=$(getconf CLK_TCK)
rss=$(awk '/VmHWM/ {print $2}' /proc/$relay/status)
# Per thread name, CPU seconds per 1,000 messages (threads of one name added up).
threads=$(awk -F'\t' -v t="$ticks" -v n="$count" '
  NR == FNR { before[$1] += $2; next } { after[$1] += $2 }
  END { sep = ""; for (k in after) { printf "%s\"%s\":%.4f", sep, k, (after[k] - before[k]) / t / n * 1000; sep = "," } }' \
  "$work/threads0" "$work/threads1")
total=$(awk -F'\t' '{ s += $2 } END { print s }' "$work/threads1")
total0=$(awk -F'\t' '{ s += $2 } END { print s }' "$work/threads0")
read -r pu ps < "$work/probe_time"
awk -v d=$((total - total0)) -v b=$((b1 - b0)) -v p="$pu $ps" -v t="$ticks" -v n="$count" \
  -v rss="$rss" -v threads="$threads" 'BEGIN { split(p, q, " ");
  printf "{\"relay_cpu_s_per_1000\":%.4f,\"relay_peak_rss_mib\":%.1f,\"relay_threads_cpu_s_per_1000\":{%s},\"broker_cpu_s_per_1000\":%.4f,\"probe_cpu_s_per_1000\":%.4f}\n",
    d / t / n * 1000, rss / 1024, threads, b / t / n * 1000, (q[1] + q[2]) / n * 1000 }'
# Loss must be ours: the broker is configured never to drop, and says so if it did.
if grep -q "being dropped" "$work/broker.log"; then
  echo "warning: the broker dropped outgoing messages: $(grep "being dropped" "$work/broker.log" | head -3)" >&2
fi
