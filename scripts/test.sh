#!/usr/bin/env bash
# Builds everything and runs every test (unit and end-to-end) through ctest
# and a short soak (scripts/soak.sh), then builds again with AddressSanitizer
# and UndefinedBehaviorSanitizer and runs the suite once more there. `--quick`
# skips the sanitizer pass.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi

scripts/setup.sh
build_dir="${BUILD_DIR:-build}"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 600 "$@"
# A short crash-and-kill soak of send-crashes (about a minute); it prints its
# seed, so a failure can be repeated with --seed.
scripts/soak.sh --rounds 8 --build "$build_dir"

if [ "$quick" -eq 0 ]; then
  asan_dir="${build_dir}-asan"
  if [ ! -f "$asan_dir/build.ninja" ]; then
    cmake -S . -B "$asan_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZOR_SANITIZE=ON >/dev/null
  fi
  cmake --build "$asan_dir" -j "$(nproc)"
  # The 4 GiB zip entry only repeats the plain pass at sanitizer speed.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$asan_dir" --output-on-failure -j "$(nproc)" --timeout 900 \
      -E 'LargeEntryOver4GiB' "$@"
fi
