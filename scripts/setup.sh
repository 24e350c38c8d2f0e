#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, then configures
# and builds. Idempotent: quiet when everything is already there.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config
  qtbase5-dev libboost-program-options-dev rapidjson-dev libssl-dev
  zlib1g-dev libisal-dev libcurl4-openssl-dev
  googletest libgtest-dev libgmock-dev
  python3 unzip zip lldb tinyproxy
  tmux  # the progress line is checked in a real terminal
  openssl  # the crypto tests check our output against the openssl command
  pigz isal  # compressors the zip benchmark compares with
  chromium  # renders the local crash server's page in its tests
  systemd  # systemd-analyze checks the units of contrib/systemd
  clang-14 libclang-rt-14-dev  # the fuzz targets (scripts/fuzz.sh)
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js runs the local crash server and decrypts in the crypto tests; a node
# installed otherwise (a newer one) is kept, else Debian's nodejs serves.
if ! command -v node >/dev/null 2>&1; then missing+=(nodejs npm); fi
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The local crash server's packages, exactly as locked; again only when the
# lock file changed since the last install.
server_dir=tools/crash-server
if [ ! -f "$server_dir/node_modules/.package-lock.json" ] ||
   [ "$server_dir/package-lock.json" -nt "$server_dir/node_modules/.package-lock.json" ]; then
  (cd "$server_dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi

build_dir="${BUILD_DIR:-build}"
# The tree the tests use also builds zorcrashreporter-faults, the binary with
# fault points that the commit-point test drives; zorcrashreporter itself
# holds none of it. Release and benchmark trees leave the option off.
if [ ! -f "$build_dir/build.ninja" ] ||
   ! grep -q '^ZOR_FAULT_POINTS:BOOL=ON' "$build_dir/CMakeCache.txt"; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    -DZOR_FAULT_POINTS=ON >/dev/null
fi
cmake --build "$build_dir" -j "$(nproc)"
