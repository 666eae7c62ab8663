#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# Idempotent: a second run installs nothing. Run as root (or through sudo).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  nlohmann-json3-dev libspdlog-dev libfmt-dev
  libboost-dev libboost-thread-dev libboost-system-dev libboost-filesystem-dev
  libmosquitto-dev libargs-dev
  googletest libgtest-dev libgmock-dev
  mosquitto
  clang libclang-rt-14-dev
  libbenchmark-dev
  dpkg-dev file systemd
  libssl-dev openssl libre2-dev libcpp-httplib-dev libsystemd-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Node.js packages of the OPC UA test server, pinned by its lock file.
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ ! -d "$root/tests/opcua_server/node_modules" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo_cmd apt-get update -qq
    $sudo_cmd apt-get install -y -qq --no-install-recommends npm
  fi
  npm ci --prefix "$root/tests/opcua_server" --no-audit --no-fund
fi
