#!/usr/bin/env bash
# Installs the Debian packages the kit's build, tests and demo need, when missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev
  libsqlite3-dev libsqlitecpp-dev nlohmann-json3-dev
  libssl-dev openssl libcurl4-openssl-dev libcpp-httplib-dev
  iproute2 util-linux
  libpaho-mqtt-dev mosquitto
  libgps-dev gpsd gpsd-clients
  libbenchmark-dev
  clang libclang-rt-14-dev
  clang-format-14
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
