#!/usr/bin/env bash
# Compares ZipFile with `zip -1`, `pigz -1 -p 2` and `igzip -1` on two inputs:
# 1 GiB of dump-like data and 512 MiB of real binaries (files under /usr/lib).
#
# Usage: bench/run_zip_bench.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  a configured build tree (default: build); zip_bench is built there
#   WORK_DIR   where the data and the outputs go (default: a new temporary
#              directory, removed at the end); data already there is reused
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
status=0

ninja -C "$build" -j2 zip_bench >/dev/null

dump="$work/dump-like.dmp"
if [[ ! -f "$dump" ]]; then
  echo "making 1 GiB of dump-like data in $dump"
  python3 "$here/make_dump_like.py" "$dump" 1024
fi
binaries="$work/binaries.bin"
if [[ ! -f "$binaries" ]]; then
  echo "making 512 MiB of binaries from /usr/lib in $binaries"
  # head ends the pipe early on purpose; sorted so that every run reads the same files.
  (set +o pipefail
   find /usr/lib -type f -size +100k -print0 | sort -z | xargs -0 cat 2>/dev/null |
     head -c 512M >"$binaries")
  [[ "$(stat -c %s "$binaries")" -eq $((512 << 20)) ]] || { echo "too few binaries" >&2; exit 1; }
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
      ZipFile) measure zipfile.zip "$build/bench/zip_bench" "$data" "$work/out.zipfile.zip"
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
  printf '  ZipFile / igzip -1 wall: %.2f (goal <= 1.5: %s)\n' "$time_ratio" \
    "$(at_most "$time_ratio" 1.5 && echo met || echo MISSED)"
  printf '  ZipFile / zip -1 size:   %.4f (goal <= 1.02: %s)\n' "$size_ratio" \
    "$(at_most "$size_ratio" 1.02 && echo met || echo MISSED)"
  at_most "$size_ratio" 1.02 || status=1
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
