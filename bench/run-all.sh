#!/usr/bin/env bash
# Runs every benchmark: Google Benchmark programs in <build>/bench/*_bench, the
# OPC UA relay benchmark (bench/opcua) and the relay benchmark (ZEBIN ->
# JSONTOTIMESERIES -> ZEBOUT on the telemetry document) at QoS 0 and 1, at 2,000 and 10,000 messages per second, paced at
# 34,000 and at full offered load, after the broker alone for comparison and
# followed by two plain relays doing the same transform.
# Figures go to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
export BUILD_DIR="$build"
shopt -s nullglob
for program in "$build"/bench/*_bench; do
  echo "== $(basename "$program")"
  "$program"
done
echo "== broker alone (collector on the input topic), qos 0, full load"
bench/relay/run-relay.sh 100000 0 0 broker
# weft-pipe, then the two plain relays doing the same transform on the same
# machine: single-threaded libmosquitto with a DOM transform, and Node.js.
for relay in timeseries baseline baseline-node; do
  for qos in 0 1; do
    for run in "20000 2000" "50000 10000" "100000 34000" "100000 0"; do
      set -- $run
      echo "== relay $relay, qos $qos, $1 messages at ${2/#0/full} msg/s"
      bench/relay/run-relay.sh "$1" "$2" "$qos" "$relay"
    done
  done
done
# OPC UA to MQTT, weft-pipe beside the Node.js relay in the same run; at
# 50,000 items the test server changes them every second, as it cannot
# produce 500,000 changes a second on this machine.
for run in "1000 20 100" "10000 20 100" "50000 30 1000 120"; do
  set -- $run
  echo "== opcua relay, $1 items changing every $3 ms"
  bench/opcua/run-opcua.sh "$@"
done
# Store and forward: the queue's drain at QoS 1 beside a plain ZEBOUT in the
# same run, with the in-flight window at its default and at one.
for relay in relay queue queue-w1; do
  echo "== relay $relay, qos 1, 20000 messages at full msg/s"
  bench/relay/run-relay.sh 20000 0 1 "$relay"
done
# The cost of monitoring: the same relay with the HTTP endpoint off and on (and
# scraped every second), alternating, three times each; CPU per 1,000 messages
# should differ by less than 3 %.
for run in 1 2 3; do
  for monitor in 0 1; do
    echo "== relay timeseries, qos 0, 100000 messages at 34000 msg/s, endpoint $([ "$monitor" = 1 ] && echo on || echo off)"
    MONITOR=$monitor bench/relay/run-relay.sh 100000 34000 0 timeseries
  done
done
# The broker as installed (Nagle's algorithm on its sockets), as in the
# reference figures of other relays: it batches what it forwards, so every
# relay gets more of the two cores.
for relay in timeseries baseline baseline-node; do
  echo "== relay $relay, qos 0, 100000 messages at full msg/s, broker set_tcp_nodelay false"
  BROKER_NODELAY=false bench/relay/run-relay.sh 100000 0 0 "$relay"
done
