#!/usr/bin/env bash
# Builds everything and runs every test (unit and end-to-end) through ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_dir="${BUILD_DIR:-build}"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 600 "$@"
