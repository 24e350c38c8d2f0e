#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) in build-fuzz and
# runs each for SECONDS (default 20) from its seed corpus in fuzz/corpus.
# New inputs the fuzzer finds go to <build dir>/corpus/<target>, kept between
# runs; a crash leaves its input in <build dir>/findings. Exits non-zero when
# any target failed. Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
# FUZZ_BUILD_DIR names another tree configured with -DZOR_FUZZ=ON (the test
# script reuses its sanitizer tree); FUZZ_JOBS targets run at once (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
shift || true
build_dir="${FUZZ_BUILD_DIR:-build-fuzz}"
jobs="${FUZZ_BUILD_JOBS:-2}"
parallel="${FUZZ_JOBS:-1}"

if [ ! -f "$build_dir/build.ninja" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DZOR_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/*.cc; do
    name="$(basename "$f" .cc)"
    [ "$name" = fuzz_support ] || targets+=("$name")
  done
fi
cmake --build "$build_dir" -j "$jobs" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1:suppressions=$PWD/tests/ubsan.supp}"
# Absolute paths: some targets change their working directory.
build_dir="$(realpath "$build_dir")"
mkdir -p "$build_dir/findings"
# One target's run; its outcome goes to findings/<target>.result.
run_target() {
  local t="$1" corpus="$build_dir/corpus/$1" log="$build_dir/findings/$1.log" result=ok
  mkdir -p "$corpus"
  local dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="$PWD/fuzz/$t.dict")
  # -close_fd_mask=1: the readers log every odd member to standard output.
  if ! "$build_dir/fuzz/fuzz_$t" "$corpus" "$PWD/fuzz/corpus/$t" "${dict[@]}" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -max_len=8192 -close_fd_mask=1 \
      -artifact_prefix="$build_dir/findings/$t-" -print_final_stats=1 >"$log" 2>&1; then
    result="FAILED (see $log)"
  fi
  local runs units
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  units="$(find "$corpus" -type f | wc -l)"
  printf '%-22s %8s %10s %8s %s\n' "$t" "$seconds" "${runs:-?}" "$units" "$result" \
    >"$build_dir/findings/$t.result"
}

running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$parallel" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait

failed=()
printf '%-22s %8s %10s %8s %s\n' target seconds runs corpus result
for t in "${targets[@]}"; do
  cat "$build_dir/findings/$t.result"
  grep -q ' ok$' "$build_dir/findings/$t.result" || failed+=("$t")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
