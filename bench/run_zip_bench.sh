#!/usr/bin/env bash
# Compares ZipFile with `zip -1` on 1 GiB of dump-like data.
#
# Usage: bench/run_zip_bench.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  a configured build tree (default: build); zip_bench is built there
#   WORK_DIR   where the data and the archives go (default: a new temporary
#              directory, removed at the end); data already there is reused
# Prints wall and CPU (user + system) times of both, their ratios and ZipFile's
# peak resident memory; fails when that reaches 32 MiB.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build}"
if [[ -n "${2:-}" ]]; then
  work="$2"; mkdir -p "$work"
else
  work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
fi
limit_kib=$((32 * 1024))

ninja -C "$build" -j2 zip_bench >/dev/null

data="$work/dump-like.dmp"
if [[ ! -f "$data" ]]; then
  echo "making 1 GiB of dump-like data in $data"
  python3 "$here/make_dump_like.py" "$data" 1024
fi
# Both compressors read the data from the page cache.
cat "$data" >/dev/null

rm -f "$work/ours.zip" "$work/zip1.zip"
ours="$("$build/bench/zip_bench" "$data" "$work/ours.zip")"
value() { sed -n "s/^$1: //p" <<<"$ours"; }
ours_s="$(value seconds)"
ours_cpu="$(value cpu-seconds)"
ours_rss="$(value peak-rss-kib)"

# %e wall seconds, %U + %S CPU seconds, %M peak RSS in KiB.
read -r zip_s zip_user zip_sys zip_rss < <(
  /usr/bin/time -f '%e %U %S %M' zip -1 -q -j "$work/zip1.zip" "$data" 2>&1 >/dev/null | tail -1)
zip_cpu="$(echo "$zip_user + $zip_sys" | bc -l)"

printf 'input:    %s bytes\n' "$(value input-bytes)"
printf 'ZipFile:  wall %6.2f s  cpu %6.2f s  output %s bytes  peak RSS %s KiB\n' \
  "$ours_s" "$ours_cpu" "$(value output-bytes)" "$ours_rss"
printf 'zip -1:   wall %6.2f s  cpu %6.2f s  output %s bytes  peak RSS %s KiB\n' \
  "$zip_s" "$zip_cpu" "$(stat -c %s "$work/zip1.zip")" "$zip_rss"
printf 'ratio ZipFile / zip -1: wall %.2f  cpu %.2f\n' \
  "$(echo "$ours_s / $zip_s" | bc -l)" "$(echo "$ours_cpu / $zip_cpu" | bc -l)"
unzip -tq "$work/ours.zip" >/dev/null && echo "ZipFile archive: unzip -t OK"

if (( ours_rss >= limit_kib )); then
  echo "FAIL: ZipFile peak RSS $ours_rss KiB is not under $limit_kib KiB" >&2
  exit 1
fi
echo "ZipFile peak RSS under $limit_kib KiB: OK"
