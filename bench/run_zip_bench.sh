#!/usr/bin/env bash
# Compares ZipFile with `zip -1`, `pigz -1 -p 2` and `igzip -1` on two inputs:
# 1 GiB of dump-like data and 512 MiB of real binaries (files under /usr/lib).
#
# Usage: bench/run_zip_bench.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  a configured build tree (default: build); zip_bench is built there
#   WORK_DIR   where the data and the outputs go (default: a new temporary
#              directory, removed at the end); data of the right size already
#              there is reused
#   ZIP_BENCH_MIB (default 1024) the dump-like data's size; the binaries are
#   half of it. ZIP_BENCH_THREADS (default 2) ZipFile's deflate threads.
#   BENCH_SUMMARY: see bench/summary.sh.
# Prints, per input, each tool's wall and CPU (user + system) time, output
# size and peak resident memory, then ZipFile's wall time over igzip's (goal:
# at most 1.5) and its output size over zip's (goal: at most 1.02). pigz and
# igzip write gzip, not zip: they are there as speed references. Fails when
# ZipFile's peak RSS reaches 32 MiB, when its archive does not test clean, or
# when its output misses the size goal; a missed time goal is only reported,
# since the wall time suffers on a busy machine.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
if [[ -n "${2:-}" ]]; then
  work="$2"; mkdir -p "$work"
else
  work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
fi
limit_kib=$((32 * 1024))
dump_mib="${ZIP_BENCH_MIB:-1024}"
binaries_mib=$((dump_mib / 2))
time_goal=1.5   # ZipFile's wall time over igzip -1's
size_goal=1.02  # ZipFile's output size over zip -1's
threads="${ZIP_BENCH_THREADS:-2}"
status=0
source "$here/summary.sh"

ninja -C "$build" -j2 zip_bench >/dev/null

has_size() { [[ -f "$1" && "$(stat -c %s "$1")" -eq $(($2 << 20)) ]]; }
dump="$work/dump-like.dmp"
if ! has_size "$dump" "$dump_mib"; then
  echo "making $dump_mib MiB of dump-like data in $dump"
  python3 "$here/make_dump_like.py" "$dump" "$dump_mib"
fi
binaries="$work/binaries.bin"
if ! has_size "$binaries" "$binaries_mib"; then
  echo "making $binaries_mib MiB of binaries from /usr/lib in $binaries"
  # head ends the pipe early on purpose; sorted so that every run reads the same files.
  (set +o pipefail
   find /usr/lib -type f -size +100k -print0 | sort -z | xargs -0 cat 2>/dev/null |
     head -c "${binaries_mib}M" >"$binaries")
  has_size "$binaries" "$binaries_mib" ||
    { echo "too few binaries under /usr/lib for $binaries_mib MiB in $binaries" >&2; exit 1; }
fi

# Runs a compressor, its output to $work/out.<tag>; sets wall, cpu, rss, size.
measure() {
  local tag="$1" out="$work/out.$1"; shift
  rm -f "$out"
  # %e wall seconds, %U + %S CPU seconds, %M peak RSS in KiB.
  /usr/bin/time -o "$work/time.$tag" -f '%e %U %S %M' "$@" >/dev/null
  read -r wall user sys rss <"$work/time.$tag"
  cpu="$(echo "$user + $sys" | bc -l)"
  size="$(stat -c %s "$out")"
}

at_most() { (($(echo "$1 <= $2" | bc -l))); }

bench() {
  local name="$1" data="$2" input
  input="$(stat -c %s "$data")"
  # Every tool reads the data from the page cache.
  cat "$data" >/dev/null
  printf '\n%s: %s bytes\n' "$name" "$input"
  printf '  %-13s %8s %8s %13s %7s %10s\n' tool "wall s" "cpu s" "output bytes" "of in" "RSS KiB"
  local -A walls sizes
  local tool
  for tool in ZipFile "zip -1" "pigz -1 -p 2" "igzip -1"; do
    case "$tool" in
      ZipFile) measure zipfile.zip "$build/bench/zip_bench" "$data" "$work/out.zipfile.zip" \
        "$threads"
        local ours_rss="$rss" ;;
      "zip -1") measure zip1.zip zip -1 -q -j "$work/out.zip1.zip" "$data" ;;
      pigz*) measure pigz.gz sh -c 'pigz -1 -p 2 -c "$1" >"$2"' sh "$data" "$work/out.pigz.gz" ;;
      igzip*) measure igzip.gz sh -c 'igzip -1 -c "$1" >"$2"' sh "$data" "$work/out.igzip.gz" ;;
    esac
    walls[$tool]="$wall"
    sizes[$tool]="$size"
    printf '  %-13s %8.2f %8.2f %13s %6.1f%% %10s\n' "$tool" "$wall" "$cpu" "$size" \
      "$(echo "100 * $size / $input" | bc -l)" "$rss"
  done

  local time_ratio size_ratio
  time_ratio="$(echo "${walls[ZipFile]} / ${walls[igzip -1]}" | bc -l)"
  size_ratio="$(echo "${sizes[ZipFile]} / ${sizes[zip -1]}" | bc -l)"
  printf '  ZipFile / igzip -1 wall: %.2f (goal <= %s: %s)\n' "$time_ratio" "$time_goal" \
    "$(at_most "$time_ratio" "$time_goal" && echo met || echo MISSED)"
  printf '  ZipFile / zip -1 size:   %.4f (goal <= %s: %s)\n' "$size_ratio" "$size_goal" \
    "$(at_most "$size_ratio" "$size_goal" && echo met || echo MISSED)"
  at_most "$size_ratio" "$size_goal" || status=1
  summary_figure "zip $name: ZipFile wall" "${walls[ZipFile]}" s "zip -1" "${walls[zip -1]}" -
  summary_figure "zip $name: ZipFile wall" "${walls[ZipFile]}" s "igzip -1" "${walls[igzip -1]}" \
    "<= $time_goal"
  summary_figure "zip $name: ZipFile size" "${sizes[ZipFile]}" B "zip -1" "${sizes[zip -1]}" \
    "<= $size_goal"
  if unzip -tqq "$work/out.zipfile.zip"; then
    echo "  ZipFile archive: unzip -t OK"
  else
    echo "  FAIL: ZipFile archive does not test clean" >&2; status=1
  fi
  if ((ours_rss >= limit_kib)); then
    echo "  FAIL: ZipFile peak RSS $ours_rss KiB is not under $limit_kib KiB" >&2; status=1
  fi
}

echo "load: $(uptime)"
bench "dump-like" "$dump"
bench "binaries" "$binaries"
exit "$status"
