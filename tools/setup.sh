#!/usr/bin/env bash
# Installs every Debian package that the build and the tests need.
# Idempotent: when everything is present it prints nothing and runs no apt-get.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libace-dev libcrypto++-dev libssl-dev libboost-dev libsqlite3-dev sqlite3
  uuid-dev libcurl4-openssl-dev libgtest-dev libgmock-dev nlohmann-json3-dev
  libcivetweb-dev zlib1g-dev python3 openssl clang libclang-rt-dev time
  curl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
