#!/usr/bin/env bash
# Installs every Debian package that the build and the tests need.
# Idempotent: when everything is present it prints nothing and runs no apt-get.
set -euo pipefail

# pypy3 runs the simulator in the web benchmark only; the tests run it on python3.
packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libace-dev libcrypto++-dev libssl-dev libboost-dev libsqlite3-dev sqlite3
  uuid-dev libcurl4-openssl-dev libgtest-dev libgmock-dev nlohmann-json3-dev
  libcivetweb-dev zlib1g-dev python3 openssl clang libclang-rt-dev lld time
  curl chromium ccache pypy3
  libcairo2-dev libgdk-pixbuf-2.0-dev libfreetype-dev fonts-dejavu-core
)
# node and npm drive the browser tests; a machine that has node already keeps its own.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

here=$(cd "$(dirname "$0")" && pwd)
# playwright-core for the browser tests, which drive Debian's chromium: it downloads no browser.
install_playwright() {
  [ -f "$here/browser/node_modules/playwright-core/package.json" ] && return 0
  echo "setup: installing playwright-core in tools/browser"
  (cd "$here/browser" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --silent) ||
    echo "setup: playwright-core could not be installed: the browser tests will be skipped"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  install_playwright
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
install_playwright
