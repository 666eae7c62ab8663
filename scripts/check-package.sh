#!/usr/bin/env bash
# Checks the Debian packages that `make package` left in a build folder (first
# argument, default build/) without installing anything into this machine:
#   - what each package holds and depends on, its conffile and maintainer scripts;
#   - the program unpacked into a temporary folder prints its version and, run
#     from another folder with ZEB_EXT_LIB_PATH unset, finds the plug-ins beside
#     it and carries a message through a real mosquitto broker and back;
#   - a C client built from libzeb-dev alone (zeb.pc, headers, the .so link)
#     receives that message too, its libzeb finding the same plug-ins;
#   - systemd-analyze accepts the unit (skipped where it is missing).
# Any failure ends the run with a message and status 1.
set -euo pipefail

root_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(cd "${1:-$root_dir/build}" && pwd)"
version="$(sed -n 's/^project(weft_pipe VERSION \([0-9.]*\).*/\1/p' "$root_dir/CMakeLists.txt")"
arch="$(dpkg --print-architecture)"
runtime_deb="$build_dir/weft-pipe_${version}_${arch}.deb"
dev_deb="$build_dir/libzeb-dev_${version}_${arch}.deb"

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check-package: FAIL: $*" >&2
  exit 1
}
pass() { echo "check-package: ok: $*"; }

[ -n "$version" ] || fail "no project version in CMakeLists.txt"
[ -f "$runtime_deb" ] || fail "$runtime_deb is missing (run make package)"
[ -f "$dev_deb" ] || fail "$dev_deb is missing (run make package)"

# --- contents -----------------------------------------------------------------

# Paths in a package, without the leading "." and without folders.
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print substr($6, 2)}'; }
contents "$runtime_deb" >"$work/runtime.list"
contents "$dev_deb" >"$work/dev.list"

# The library folder is whatever the build chose under /usr (lib or a multiarch one).
libdir="$(sed -n 's#^\(/usr/lib[^ ]*\)/libzeb\.so\.0$#\1#p' "$work/runtime.list")"
[ -n "$libdir" ] || fail "weft-pipe has no libzeb.so.0 under /usr/lib"

expect_in() {
  local list="$1" package="$2"
  shift 2
  for path in "$@"; do
    grep -qxF "$path" "$work/$list.list" || fail "$package lacks $path"
  done
}
expect_not_in() {
  local list="$1" package="$2" pattern="$3"
  if grep -qE "$pattern" "$work/$list.list"; then
    fail "$package holds what belongs elsewhere: $(grep -E "$pattern" "$work/$list.list" | head -1)"
  fi
}

expect_in runtime weft-pipe \
  /usr/bin/weft-pipe \
  "$libdir/libzeb.so.0" "$libdir/libzeb.so.$version" \
  "$libdir/weft-pipe/ext_lib/libzebt_mqtt.so" "$libdir/weft-pipe/ext_lib/libzebt_opcua.so" \
  /etc/weft-pipe/config.json \
  /usr/lib/systemd/system/weft-pipe.service \
  /usr/share/doc/weft-pipe/examples/mqtt-relay.json
expect_not_in runtime weft-pipe '^/usr/include/|\.pc$|/libzeb\.so$'
expect_in dev libzeb-dev \
  /usr/include/zeb/zeb.h /usr/include/zeb/client.h /usr/include/zeb/transport.h \
  "$libdir/pkgconfig/zeb.pc" "$libdir/libzeb.so"
expect_not_in dev libzeb-dev '/libzeb\.so\.|/bin/|ext_lib|^/etc/'
pass "files of both packages"

depends="$(dpkg-deb -f "$runtime_deb" Depends)"
for dep in adduser libc6 libstdc++6 libmosquitto1 libspdlog libboost-thread; do
  [[ ", $depends" == *", $dep"* ]] || fail "weft-pipe does not depend on $dep: $depends"
done
dev_depends="$(dpkg-deb -f "$dev_deb" Depends)"
[[ "$dev_depends" == *"weft-pipe (= $version)"* ]] ||
  fail "libzeb-dev does not depend on this weft-pipe: $dev_depends"
pass "dependencies: $depends"

dpkg-deb -e "$runtime_deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = "/etc/weft-pipe/config.json" ] ||
  fail "conffiles: $(cat "$work/control/conffiles")"
grep -qx "activate-noawait ldconfig" "$work/control/triggers" || fail "no ldconfig trigger"
grep -qx "libzeb 0 weft-pipe (>= $version)" "$work/control/shlibs" || fail "shlibs"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "$script is missing or not executable"
  sh -n "$work/control/$script" || fail "$script is not valid sh"
done
# postinst against stand-ins for the commands it runs, which only record their
# calls: a first install makes the user, restricts the configuration and
# enables the service; with the user already there it is not made again.
stubs="$work/stubs"
mkdir -p "$stubs"
for command in adduser getent chown chmod deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$command" "$work" >"$stubs/$command"
  chmod +x "$stubs/$command"
done
echo 'exit 2' >>"$stubs/getent"
PATH="$stubs:$PATH" "$work/control/postinst" configure ||
  fail "postinst configure failed"
for call in "getent passwd weft-pipe" "adduser --system --group" \
  "chown root:weft-pipe /etc/weft-pipe/config.json" "chmod 0640 /etc/weft-pipe/config.json" \
  "deb-systemd-helper enable weft-pipe.service"; do
  grep -q "^$call" "$work/calls" || fail "postinst did not run '$call': $(cat "$work/calls")"
done
sed -i '$d' "$stubs/getent"
rm "$work/calls"
PATH="$stubs:$PATH" "$work/control/postinst" configure "$version" ||
  fail "postinst configure on an upgrade failed"
if grep -q "^adduser" "$work/calls"; then fail "postinst made the user again"; fi
pass "conffile, triggers, shlibs and maintainer scripts"

# --- unpacked program -----------------------------------------------------------

unpacked="$work/root"
dpkg-deb -x "$runtime_deb" "$unpacked"
dpkg-deb -x "$dev_deb" "$unpacked"
program="$unpacked/usr/bin/weft-pipe"
elsewhere="$work/elsewhere"
mkdir -p "$elsewhere"

reported="$(cd "$elsewhere" && "$program" --version)" || fail "--version failed"
[ "$reported" = "weft-pipe $version" ] || fail "--version printed '$reported'"
pass "--version prints '$reported'"

# A subscriber built only from what libzeb-dev provides, through zeb.pc.
pc_flags="$(PKG_CONFIG_SYSROOT_DIR="$unpacked" PKG_CONFIG_PATH="$unpacked$libdir/pkgconfig" \
  pkg-config --cflags --libs zeb)" || fail "pkg-config does not know zeb"
# shellcheck disable=SC2086 # the flags are a list of words
cc -std=c11 -Wall -Wextra -Werror -o "$work/subscriber" \
  "$root_dir/scripts/check-package-subscriber.c" $pc_flags ||
  fail "a client does not build with zeb.pc"
pass "libzeb-dev builds a C client with: $pc_flags"

# A broker of our own on a free loopback port.
port=""
for _ in 1 2 3 4 5 6 7 8 9 10; do
  candidate=$((20000 + RANDOM % 40000))
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$candidate" >"$work/mosquitto.conf"
  mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
  broker=$!
  for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
      port="$candidate"
      break
    fi
    kill -0 "$broker" 2>/dev/null || break
    sleep 0.1
  done
  if [ -n "$port" ]; then
    pids+=("$broker")
    break
  fi
  kill "$broker" 2>/dev/null || true
  wait "$broker" 2>/dev/null || true
done
[ -n "$port" ] || fail "mosquitto did not start: $(cat "$work/mosquitto.log")"

# One weft-pipe, two chains: a generator publishes a token through the broker
# and a subscriber prints what comes back; the C client subscribes as well.
topic="weft/package-check"
token="package-check-$$-$RANDOM"
cat >"$work/config.json" <<EOF
{
  "blocks": {
    "generator": {"type": "REPSTR", "config": {"delay": 200, "test_string": "$token"}},
    "publisher": {"type": "ZEBOUT", "config": {"transport_addr": "mqtt-tcp://127.0.0.1:$port",
      "method": "PUB", "node_ref": "$topic"}},
    "subscriber": {"type": "ZEBIN", "config": {"transport_addr": "mqtt-tcp://127.0.0.1:$port",
      "method": "SUB", "node_ref": "$topic", "log_level": "info"}},
    "printer": {"type": "DUMPSTRINGBLOCK", "config": {"output_method": "stdout"}}
  },
  "mappings": {
    "generator:output": "publisher:input",
    "subscriber:output": "printer:input"
  }
}
EOF
(cd "$elsewhere" && exec env -u ZEB_EXT_LIB_PATH LD_LIBRARY_PATH="$unpacked$libdir" \
  "$work/subscriber" "$port" "$topic" >"$work/subscriber.out" 2>&1) &
subscriber=$!
(cd "$elsewhere" && exec env -u ZEB_EXT_LIB_PATH -u LD_LIBRARY_PATH \
  healthcheck_path="$work/isHealthy" "$program" -f "$work/config.json" \
  >"$work/weft-pipe.out" 2>&1) &
pids+=("$!")

subscriber_status=0
wait "$subscriber" || subscriber_status=$?
if [ "$subscriber_status" -ne 0 ] || ! grep -q "received on $topic: $token" "$work/subscriber.out"; then
  fail "the C client got no message (status $subscriber_status):
$(head -20 "$work/subscriber.out")
weft-pipe:
$(head -20 "$work/weft-pipe.out")"
fi
for _ in $(seq 100); do
  grep -q "printer : $token" "$work/weft-pipe.out" && break
  sleep 0.1
done
grep -q "printer : $token" "$work/weft-pipe.out" ||
  fail "weft-pipe got no message back through the broker:
$(head -40 "$work/weft-pipe.out")"

plugins="$unpacked$libdir/weft-pipe/ext_lib"
grep -q "Scheme mqtt-tcp served from $plugins$" "$work/weft-pipe.out" ||
  fail "weft-pipe's MQTT plug-in did not come from beside it:
$(grep TransportLoader "$work/weft-pipe.out" | head -10)"
grep -q "Scheme mqtt-tcp served from $plugins$" "$work/subscriber.out" ||
  fail "the C client's MQTT plug-in did not come from the unpacked installation:
$(grep TransportLoader "$work/subscriber.out" | head -10)"
pass "unpacked weft-pipe and the C client got '$token' through mosquitto on port $port, \
plug-ins from $libdir/weft-pipe/ext_lib"

# --- service unit ---------------------------------------------------------------

unit="$unpacked/usr/lib/systemd/system/weft-pipe.service"
grep -qx 'Type=notify' "$unit" || fail "the unit is not Type=notify"
grep -q '^WatchdogSec=[1-9]' "$unit" || fail "the unit has no watchdog"
pass "the unit waits for readiness and has a watchdog"

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "check-package: skipped: systemd-analyze is not installed, the unit is not verified"
  exit 0
fi
# The unit names the installed program; point it at the unpacked one, which
# systemd-analyze requires to exist.
mkdir -p "$work/unit"
sed "s#/usr/bin/weft-pipe#$program#" "$unpacked/usr/lib/systemd/system/weft-pipe.service" \
  >"$work/unit/weft-pipe.service"
# Unknown or malformed settings are only warned about, so any output fails too.
if ! verify_out="$(systemd-analyze verify "$work/unit/weft-pipe.service" 2>&1)" ||
  [ -n "$verify_out" ]; then
  fail "systemd-analyze verify: $verify_out"
fi
exposure="$(systemd-analyze security --offline=yes "$work/unit/weft-pipe.service" 2>&1 |
  sed -n 's/.*Overall exposure level for weft-pipe.service: \([0-9.]*\).*/\1/p')"
systemd-analyze security --offline=yes --threshold=20 "$work/unit/weft-pipe.service" \
  >/dev/null 2>&1 || fail "the unit lost its hardening: exposure $exposure, at most 2.0 expected"
pass "systemd-analyze accepts the unit, exposure $exposure"
