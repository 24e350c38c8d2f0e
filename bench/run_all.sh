#!/usr/bin/env bash
# Runs every benchmark in bench/ once, in a Release build, and prints one table
# of their figures: each with the baseline measured in the same run, the ratio,
# the goal that ratio is held to and whether it was met.
#
# Usage: bench/run_all.sh [--quick] [BUILD_DIR] [WORK_DIR]
#   --quick    256 MiB inputs instead of 1 GiB, and no 4 GiB upload: a look in
#              about two minutes instead of a quarter of an hour
#   BUILD_DIR  a Release build tree (default: build-release; configured here if
#              it has no CMake cache yet)
#   WORK_DIR   where the data and the outputs go, a folder per benchmark
#              (default: a new temporary directory, removed at the end); data
#              already there is reused. Keep it on a disk, not tmpfs: the full
#              run needs about 20 GB (the upload benchmark checks first).
# UPLOAD_BENCH_BEFORE and CRYPTO_BENCH_BEFORE pass through to their benchmarks:
# another build's zorcrashreporter and crypto_bench (an earlier commit's), so
# that the table has before and after from one run.
# The discovery trees and the encryption benchmark's files go to a temporary
# directory under /dev/shm when there is one, so that the figures are the
# program's and not the disk's sync latency (EncryptFile syncs its output; the
# dd copy it is compared with does not).
# Each benchmark's own report passes through as it runs; the table, the wall
# time and the machine's load at the start and the end come last. Exits 1 iff
# a benchmark failed (a failed upload, a broken memory limit, a bad archive:
# its report says which); a missed goal is only reported, since the machine is
# shared and only the ratios within one run count.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
quick=0
if [[ "${1:-}" == "--quick" ]]; then
  quick=1; shift
fi
build="${1:-$root/build-release}"
if [[ -n "${2:-}" ]]; then
  mkdir -p "$2"; work="$(cd "$2" && pwd)"; keep=1
else
  work="$(mktemp -d)"; keep=0
fi
discovery_work="$work/discovery"
crypto_work="$work/crypto"
shm=""
if [[ -d /dev/shm && -w /dev/shm ]]; then
  shm="$(mktemp -d /dev/shm/zor-bench.XXXXXX)"
  discovery_work="$shm/discovery"; crypto_work="$shm/crypto"
fi
cleanup() {
  if [[ -n "$shm" ]]; then rm -rf "$shm"; fi
  if ((keep == 0)); then rm -rf "$work"; fi
}
trap cleanup EXIT

if ((quick)); then
  mib=256; upload_args=()
else
  mib=1024; upload_args=(--4gib)
fi

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  launcher=()
  if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
fi
build="$(cd "$build" && pwd)"
build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
if [[ "$build_type" != Release ]]; then
  echo "warning: $build is a '$build_type' build, not Release: its figures say little" >&2
fi
ninja -C "$build" -j2 zip_bench crypto_bench discovery_bench zorcrashreporter

export BENCH_SUMMARY="$work/summary.tsv"
: >"$BENCH_SUMMARY"
start_load="$(uptime)"
echo "load at the start: $start_load"
failed=()
# A failed benchmark is noted and the others still run.
run() {
  local name="$1"; shift
  printf '\n=== %s\n' "$name"
  if ! "$@"; then failed+=("$name"); fi
}
run zip env ZIP_BENCH_MIB="$mib" "$here/run_zip_bench.sh" "$build" "$work/zip"
run encryption env CRYPTO_BENCH_MIB="$mib" "$here/run_crypto_bench.sh" "$build" "$crypto_work"
run discovery "$here/run_discovery_bench.sh" "$build" "$discovery_work"
run upload env UPLOAD_BENCH_SIZES_MIB="$mib" \
  "$here/run_upload_bench.sh" "${upload_args[@]}" "$build" "$work/upload"
end_load="$(uptime)"

# One row per figure; the ratio is value / baseline value, which the goal bounds.
rows() {
  local figure value unit baseline base goal ratio result
  printf 'figure\tvalue\tbaseline\tbaseline value\tratio\tgoal\tresult\n'
  while IFS=$'\t' read -r figure value unit baseline base goal; do
    if (($(echo "$base == 0" | bc -l))); then
      ratio=-; result=-
    else
      ratio="$(echo "$value / $base" | bc -l)"
      if [[ "$goal" == - ]]; then
        result=-
      elif (($(echo "$ratio $goal" | bc -l))); then
        result=met
      else
        result=MISSED
      fi
      ratio="$(printf %.3f "$ratio")"
    fi
    printf '%s\t%s %s\t%s\t%s %s\t%s\t%s\t%s\n' "$figure" "$value" "$unit" "$baseline" "$base" \
      "$unit" "$ratio" "$goal" "$result"
  done <"$BENCH_SUMMARY"
}

printf '\n=== all benchmarks (%s, %s MiB inputs%s, build %s)\n' \
  "$( ((quick)) && echo quick || echo full)" "$mib" "$( ((quick)) || echo ', upload also 4 GiB')" \
  "$build"
rows | column -t -s $'\t'
printf '\nwall time: %dm %02ds\n' $((SECONDS / 60)) $((SECONDS % 60))
echo "load at the start: $start_load"
echo "load at the end:   $end_load"
if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]} (see their reports above)" >&2
  exit 1
fi
