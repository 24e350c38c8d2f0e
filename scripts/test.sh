#!/usr/bin/env bash
# Builds everything, runs every test (unit and end-to-end) through ctest and a
# short crash-and-kill soak (scripts/soak.sh).
# Then, unless `--quick` is given:
# - a second tree built by clang with AddressSanitizer, UndefinedBehaviorSanitizer
#   and the fuzzers' coverage runs the suite again, and each fuzz target runs
#   for FUZZ_SECONDS (default 20) from its seed corpus;
# - a third tree with ThreadSanitizer runs the tests that start threads.
# Further arguments go to every ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
if [ "${1:-}" = "--quick" ]; then quick=1; shift; fi

scripts/setup.sh
build_dir="${BUILD_DIR:-build}"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 600 "$@"
# The soak prints its seed, so a failure can be repeated with --seed.
scripts/soak.sh --rounds 8 --build "$build_dir"
[ "$quick" -eq 1 ] && exit 0

asan_dir="${build_dir}-asan"
if [ ! -f "$asan_dir/build.ninja" ]; then
  cmake -S . -B "$asan_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZOR_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
fi
cmake --build "$asan_dir" -j "$(nproc)"
# The 4 GiB zip entry only repeats the plain pass at sanitizer speed.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$PWD/tests/ubsan.supp" \
  ctest --test-dir "$asan_dir" --output-on-failure -j "$(nproc)" --timeout 900 \
    -E 'LargeEntryOver4GiB' "$@"
FUZZ_BUILD_DIR="$asan_dir" FUZZ_JOBS="$(nproc)" scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

# The tests whose code starts threads: the log channels, the crash handler
# (threads faulting together), the ballast's filling threads, the host-name
# look-up, the test controller, the deflate threads and the encryption's
# read and write threads. The handler replaces the sanitizer's own
# for the fatal signals, as it does under AddressSanitizer.
tsan_dir="${build_dir}-tsan"
if [ ! -f "$tsan_dir/build.ninja" ]; then
  cmake -S . -B "$tsan_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZOR_TSAN=ON >/dev/null
fi
cmake --build "$tsan_dir" -j "$(nproc)" --target log_tests crash_tests files_tests crypto_tests packages_tests upload_tests main_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$tsan_dir" --no-tests=error --output-on-failure -j "$(nproc)" --timeout 900 \
    -R '^(LoggerTest|LogImplTest|LogImplInstallTest|FileChannelTest|TruncateFileChannelTest|RotateFileChannelTest|TimeBasedRotateFileChannelTest|CrashHandlingTest|AllocateBallastTest|SystemInfoTest|TestControllerTest|BlockPipelineTest)\.|^ZipFileTest\.(EntriesKeep|UnreadableInput)|^CryptoTest\.FileEncryption' "$@"
