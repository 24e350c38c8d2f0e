#!/usr/bin/env bash
# Times `send-crashes` uploading one crash with a 1 GiB dump-like file to the
# local crash server, beside two pipelines by hand on the same files and the
# same server: `zip -1` then `curl -T` of the zip to a presigned part URL, and
# `igzip -1` then the same `curl -T`.
#
# Usage: bench/run_upload_bench.sh [--4gib] [BUILD_DIR] [WORK_DIR]
#   --4gib     also runs with a 4 GiB dump (checks the free space first)
#   BUILD_DIR  a configured build tree, preferably Release (default:
#              build-release); zorcrashreporter is built there
#   WORK_DIR   where the crashes, the server's data and the outputs go
#              (default: a new temporary directory, removed at the end);
#              dumps already there are reused. Keep it on a disk, not tmpfs:
#              the store keeps a copy of every upload.
#   UPLOAD_BENCH_REPS (default 3) runs per way, the fastest counted: the
#   machine is shared and single runs vary widely. UPLOAD_BENCH_SIZES_MIB
#   ("64 256", say) replaces the 1 GiB size for a quick look. BENCH_SUMMARY:
#   see bench/summary.sh.
#
# send-crashes gets a part size of 4 GiB - 1 byte, so that it, like the hand
# pipelines, sends one part; a second send-crashes row uses the default part
# size (50 MiB) for comparison, without goals. The hand pipelines neither
# encrypt nor complete the upload; send-crashes does both. Extra rows show the
# store's own share: "curl -T alone" is the hand PUT of the igzip output, and
# "complete (store)" the store's completion of that upload, which it answers
# only after assembling the object. Under the table, send-crashes' fastest run
# is split into phases by its log's timestamps, and compared also with the
# igzip pipeline plus that completion.
#
# The same ways also run against a discard store (bench/discard_store.js),
# which answers like the local one but keeps nothing: there the figures are
# the client's own. send-crashes runs there with its default deflate threads
# and with one; UPLOAD_BENCH_BEFORE names another build of the program (an
# earlier commit's, say) that runs there too, so that before and after are
# measured in one run. Once per size and binary, a run under strace counts
# the bytes send-crashes writes into its data directory.
# Goals: against the local store, send-crashes' wall time at most 1.2x the
# igzip pipeline's and at most 0.5x the zip -1 pipeline's; against the discard
# store, at most 0.8x the igzip pipeline's (1.0x with one deflate thread) and
# at most 1.1x its CPU time; bytes written to the data directory at most 1.02x
# the encrypted package; the package at most 1.02x zip -1's output; peak RSS
# under 64 MiB at every size. Fails on the memory goal or a failed upload; a
# missed time goal is reported.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
read -r -a sizes <<<"${UPLOAD_BENCH_SIZES_MIB:-1024}"
if [[ "${1:-}" == "--4gib" ]]; then
  sizes+=(4096); shift
fi
build="$(cd "${1:-$here/../build-release}" && pwd)"
if [[ -n "${2:-}" ]]; then
  mkdir -p "$2"; work="$(cd "$2" && pwd)"; keep=1
else
  work="$(mktemp -d)"; keep=0
fi
reps="${UPLOAD_BENCH_REPS:-3}"
limit_kib=$((64 * 1024))
igzip_goal=1.2  # send-crashes' wall time over the igzip pipeline's
zip_goal=0.5    # and over the zip -1 pipeline's
discard_goal=0.8      # the same against the discard store
one_thread_goal=1.0   # ... with one deflate thread
cpu_goal=1.1          # send-crashes' CPU time over the igzip pipeline's
written_goal=1.02     # bytes written to the data directory over the package's
size_goal=1.02        # the package's size over zip -1's output
before="${UPLOAD_BENCH_BEFORE:-}"
one_part=4294967295  # the largest value the setting takes
status=0
server=""
discard=""
cleanup() {
  if [[ -n "$server" ]]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  if [[ -n "$discard" ]]; then kill "$discard" 2>/dev/null || true; wait "$discard" 2>/dev/null || true; fi
  if ((keep == 0)); then rm -rf "$work"; fi
}
trap cleanup EXIT
source "$here/summary.sh"

ninja -C "$build" -j2 zorcrashreporter >/dev/null
bin="$build/zorcrashreporter"
[[ -d "$here/../tools/crash-server/node_modules" ]] ||
  { echo "run npm ci --no-audit --no-fund in tools/crash-server first" >&2; exit 1; }

# The dump, and per run a compressed copy or two of it and the store's copy
# of each upload; the dump-like data compresses to a sixth, a quarter is
# counted. Dumps already made are not counted again.
need_mib=0
for mib in "${sizes[@]}"; do
  [[ -f "$work/dumps-$mib/sample_1.crash/sample.4242.dmp" ]] || need_mib=$((need_mib + mib))
  need_mib=$((need_mib + mib * (5 * reps + 2) / 4))
done
free_mib=$(($(df -k --output=avail "$work" | tail -1) / 1024))
if ((free_mib < need_mib)); then
  echo "$work has $free_mib MiB free; the run needs about $need_mib MiB" >&2; exit 1
fi

# The store's copies from an earlier run in this WORK_DIR are not counted above.
rm -rf "$work/server"
node "$here/../tools/crash-server/crash-server.js" --port 0 --data "$work/server" \
  >"$work/server.log" 2>&1 &
server=$!
url=""
for _ in $(seq 300); do
  url="$(sed -n '1s/^listening on //p' "$work/server.log")"
  [[ -n "$url" ]] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
[[ -n "$url" ]] || { echo "the local crash server did not start:" >&2; cat "$work/server.log" >&2; exit 1; }
node "$here/discard_store.js" >"$work/discard.log" 2>&1 &
discard=$!
durl=""
for _ in $(seq 100); do
  durl="$(sed -n '1s/^listening on //p' "$work/discard.log")"
  [[ -n "$durl" ]] && break
  sleep 0.1
done
[[ -n "$durl" ]] || { echo "the discard store did not start:" >&2; cat "$work/discard.log" >&2; exit 1; }

# The server's CPU seconds so far (user + system): the store runs in its
# process, so this is what a step cost the server.
ticks="$(getconf CLK_TCK)"
server_cpu() { awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$server/stat"; }

# Waits (up to a minute) until the local crash server has analysed every
# complete crash: it decrypts each one and reads its dumps, work that would
# otherwise take a core from the next way measured.
await_store_idle() {
  local _
  for _ in $(seq 600); do
    curl -sSf "$url/api/packages" | python3 -c 'import json, sys
sys.exit(any(v.get("analysis") == "pending" for v in json.load(sys.stdin)))' && return
    sleep 0.1
  done
  echo "the local crash server is still analysing after a minute" >&2
}

declare -A best cpu srv rss
# Keeps wall, cpu and server cpu as the way's figures when wall is its fastest.
keep_best() {
  local way="$1" wall="$2"
  if [[ -z "${best[$way]:-}" ]] || (($(echo "$wall < ${best[$way]}" | bc -l))); then
    best[$way]="$wall"; cpu[$way]="$3"; srv[$way]="$4"
  fi
}
# Runs a command under /usr/bin/time; sets last_wall, last_cpu (its user +
# system seconds) and last_srv (the server's in the meantime), keeps the
# fastest run's figures and the largest peak RSS (KiB) in rss[way].
measure() {
  local way="$1" wall user sys peak before; shift
  await_store_idle
  # What the way before left dirty in the page cache is written out first:
  # otherwise a way that syncs its output waits for the other's too.
  sync
  before="$(server_cpu)"
  /usr/bin/time -o "$work/time" -f '%e %U %S %M' "$@" >"$work/out" 2>&1 ||
    { echo "$way failed:" >&2; cat "$work/out" "$work/time" >&2; return 1; }
  last_srv="$(echo "$(server_cpu) - $before" | bc -l)"
  read -r wall user sys peak < <(tail -1 "$work/time")
  last_wall="$wall"
  last_cpu="$(echo "$user + $sys" | bc -l)"
  keep_best "$way" "$wall" "$last_cpu" "$last_srv"
  if ((peak > ${rss[$way]:-0})); then rss[$way]="$peak"; fi
}

json_field() { python3 -c 'import json, sys; print(json.load(sys.stdin)[sys.argv[1]])' "$1"; }

# Registers a package and starts an upload of `file`, as the program does;
# sets part_url (part 1's presigned URL) and complete_url.
start_upload() {
  local file="$1" to="${2:-$url}" id upload base
  id="$(curl -sSf -X POST "$to/crash?customerId=" -d '{}' | json_field crash_id)"
  upload="$(curl -sSf -X POST "$to/crash/$id/crash/$file?customerId=" -d '{}' | json_field upload_id)"
  base="$to/crash/$id/crash/$file/$upload"
  part_url="$(curl -sSf "$base/1?customerId=" | json_field location)"
  complete_url="$(curl -sSf "$base?customerId=" | json_field location)"
}

# One hand pipeline: compress (the given command), PUT its output as part 1;
# for igzip also completes the upload, timed as the store's own step.
hand() {
  local way="$1" out="$2" wall1 cpu1 srv1 etag; shift 2
  rm -f "$out"
  cat "${files[@]}" >/dev/null  # every way reads the crash from the page cache
  measure "$way" "$@"
  wall1="$last_wall"; cpu1="$last_cpu"; srv1="$last_srv"
  start_upload "$(basename "$out")"
  measure "$way-put" curl -sSf -o /dev/null -D "$work/headers" -T "$out" "$part_url"
  keep_best "$way-total" "$(echo "$wall1 + $last_wall" | bc -l)" \
    "$(echo "$cpu1 + $last_cpu" | bc -l)" "$(echo "$srv1 + $last_srv" | bc -l)"
  size[$way]="$(stat -c %s "$out")"
  if [[ "$way" == igzip ]]; then
    start_upload "$(basename "$out")" "$durl"
    measure igzip-dput curl -sSf -o /dev/null -T "$out" "$part_url"
    keep_best igzip-dtotal "$(echo "$wall1 + $last_wall" | bc -l)" \
      "$(echo "$cpu1 + $last_cpu" | bc -l)" 0
    etag="$(sed -n 's/^etag: *//Ip' "$work/headers" | tr -d '\r')"
    measure complete curl -sSf -o /dev/null -H 'Content-Type:' --data-binary \
      "<CompleteMultipartUpload><Part><PartNumber>1</PartNumber><ETag>$etag</ETag></Part></CompleteMultipartUpload>" \
      "$complete_url"
  fi
  rm -f "$out"
}

# Writes the configuration of a send-crashes run in $run, a fresh directory
# (so the crash is new to it): store base URL, part size, extra lines.
configure() {
  local to="$1" part_size="$2" extra="${3:-}"
  rm -rf "$run"; mkdir -p "$run"
  cat >"$run/zorcrashreporter.yml" <<EOF
servercrashupload.upload_endpoint: $to
servercrashupload.rsa_endpoint: $to/crash/key
servercrashupload.dump.dirs: $crashes
servercrashupload.data.dir: $run/data
servercrashupload.log.dir: $run/logs
servercrashupload.delete_completed_dumps: false
servercrashupload.upload_part_size_in_bytes: $part_size
$extra
EOF
}

uploaded() {
  grep -q "Successfully uploaded '1' crash package" "$run/logs/zorcrashreporter.txt" && return
  echo "FAIL: send-crashes did not upload the crash in $crashes; its log:" >&2
  cat "$run/logs/zorcrashreporter.txt" >&2
  exit 1
}

# One timed send-crashes run: way, part size, store URL, binary, extra
# configuration lines; checks that the crash went up.
send() {
  local way="$1" part_size="$2" to="${3:-$url}" program="${4:-$bin}" run="$work/run"
  configure "$to" "$part_size" "${5:-}"
  cat "${files[@]}" >/dev/null
  measure "$way" sh -c 'cd "$1" && exec "$2" --command send-crashes --config-file "$1/zorcrashreporter.yml"' \
    sh "$run" "$program"
  uploaded
  if [[ "${best[$way]}" == "$last_wall" ]]; then cp "$run/logs/zorcrashreporter.txt" "$work/best-$way.log"; fi
}

# Bytes one send-crashes run of `program` writes into files of its data
# directory (every write, pwrite and writev there, as strace sees them).
data_bytes_written() {
  local program="$1" run="$work/run"
  configure "$durl" "$one_part"
  (cd "$run" && strace -f -qq -y -e trace=write,pwrite64,writev,pwritev -o "$work/strace" \
    "$program" --command send-crashes --config-file "$run/zorcrashreporter.yml" >/dev/null 2>&1)
  uploaded
  awk -v dir="<$run/data/" 'index($0, dir) && $NF ~ /^[0-9]+$/ {t += $NF} END {printf "%d\n", t}' \
    "$work/strace"
}

# Seconds per phase of a send-crashes run, from its log's timestamps.
phases() {
  python3 - "$1" <<'EOF'
import datetime, json, sys
marks = [("Checking for crashes that need uploading...", "find"),
         ("Creating zip file", "zip"), ("Encrypting zip file", "zip+encrypt"),
         ("Registering package", "register"), ("Starting upload of part", "PUT"),
         ("Successfully uploaded part", "next part"),
         ("Starting the post of the upload complete", "complete"),
         ("Upload complete for package", "clean-up"), ("Upload Result Summary", None)]
spent, current, since = {}, None, None
for line in open(sys.argv[1]):
    entry = json.loads(line)
    text = entry["v"] if isinstance(entry["v"], str) else ""
    for prefix, phase in marks:
        if text.startswith(prefix):
            ts = datetime.datetime.fromisoformat(entry["ts"])
            if current:
                spent[current] = spent.get(current, 0) + (ts - since).total_seconds()
            current, since = phase, ts
            break
print("  ".join(f"{k} {v:.2f}" for k, v in spent.items()))
EOF
}

# Seconds send-crashes waited on the store: its PUT and complete phases.
phase_sum() {
  phases "$1" | awk '{for (i = 1; i < NF; i++) if ($i == "PUT" || $i == "complete") t += $(i + 1)} END {print t}'
}

met() { (($(echo "$1" | bc -l))) && echo met || echo MISSED; }

# The discard store's figures of one binary: label prefix, its way keys with
# default and one deflate thread, bytes it wrote to the data directory, RSS.
discard_figures() {
  local p="$1" way="$2" way1="$3" bytes="$4" peak="$5" r pkg
  r="$(echo "${best[$way]} / ${best[igzip-dtotal]}" | bc -l)"
  pkg="$(sed -n "s/.*TotalFileSize: '\([0-9]*\)'.*/\1/p" "$work/best-$way.log")"
  notes+="$(printf '%s%s MiB, discard store: send-crashes / igzip pipeline %.2f (goal <= %s: %s); CPU %.2f s / %.2f s; data directory writes %s B for a %s B package; peak RSS %s KiB' \
    "$p" "$mib" "$r" "$discard_goal" "$(met "$r <= $discard_goal")" "${cpu[$way]}" \
    "${cpu[igzip-dtotal]}" "$bytes" "$pkg" "$peak")"$'\n'
  notes+="$p$mib MiB, discard store, phases (s): $(phases "$work/best-$way.log")"$'\n'
  summary_figure "${p}upload $mib MiB, discard store: send-crashes wall" "$(fmt "${best[$way]}")" s \
    "igzip -1 + curl -T" "$(fmt "${best[igzip-dtotal]}")" "<= $discard_goal"
  if [[ "$way1" != "$way" ]]; then
    summary_figure "${p}upload $mib MiB, discard store: send-crashes wall, 1 deflate thread" \
      "$(fmt "${best[$way1]}")" s "igzip -1 + curl -T" "$(fmt "${best[igzip-dtotal]}")" \
      "<= $one_thread_goal"
  fi
  summary_figure "${p}upload $mib MiB, discard store: send-crashes CPU" "$(fmt "${cpu[$way]}")" s \
    "igzip -1 + curl -T" "$(fmt "${cpu[igzip-dtotal]}")" "<= $cpu_goal"
  summary_figure "${p}upload $mib MiB: bytes written to the data directory" "$bytes" B \
    "encrypted package" "$pkg" "<= $written_goal"
  summary_figure "${p}upload $mib MiB: package size" "$pkg" B "zip -1 output" "${size[zip]}" \
    "<= $size_goal"
  summary_figure "${p}upload $mib MiB: send-crashes peak RSS" \
    "$(printf %.1f "$(echo "$peak / 1024" | bc -l)")" MiB "limit" $((limit_kib / 1024)) "< 1"
}
max() { echo $(($1 > $2 ? $1 : $2)); }
row() { printf '%-8s %-26s %8s %6s %6s %5s %7s %10s %7s\n' "$@"; }

echo "load: $(uptime)"
table="$(row "dump MiB" way "step 1 s" "PUT s" "wall s" "cpu s" "srv cpu" "upload B" "RSS KiB")"$'\n'
notes=""
for mib in "${sizes[@]}"; do
  crashes="$work/dumps-$mib"
  crash="$crashes/sample_1.crash"
  dump="$crash/sample.4242.dmp"
  if [[ ! -f "$dump" || "$(stat -c %s "$dump")" -ne $((mib << 20)) ]]; then
    echo "making $mib MiB of dump-like data in $dump"
    mkdir -p "$crash"
    python3 "$here/make_dump_like.py" "$dump" "$mib"
  fi
  printf '{"product-name":"sample","product-version":"1.0.0"}\n' >"$crash/sample.4242.manifest"
  files=("$dump" "$crash/sample.4242.manifest")
  best=(); cpu=(); srv=(); rss=()
  declare -A size
  # Round-robin, so that a busy spell on the machine does not fall on one way.
  for ((i = 1; i <= reps; i++)); do
    echo "$mib MiB, run $i of $reps"
    hand zip "$work/hand.zip" zip -1 -q -j "$work/hand.zip" "${files[@]}"
    hand igzip "$work/hand.gz" sh -c 'igzip -1 -c "$@" >"$0"' "$work/hand.gz" "${files[@]}"
    send send "$one_part"
    send send-parts 52428800
    send dsend "$one_part" "$durl"
    send dsend1 "$one_part" "$durl" "$bin" "servercrashupload.deflate_threads: 1"
    if [[ -n "$before" ]]; then send dbefore "$one_part" "$durl" "$before"; fi
  done
  written="$(data_bytes_written "$bin")"
  if [[ -n "$before" ]]; then written_before="$(data_bytes_written "$before")"; fi
  # What send-crashes sent: the encrypted zip.
  stored="$(sed -n "s/.*TotalFileSize: '\([0-9]*\)'.*/\1/p" "$work/best-send.log")"
  fmt() { printf %.2f "$1"; }
  # A way's row: its label, step 1 and PUT walls, then wall, cpu and server
  # cpu under the key its best figures are kept, upload bytes, peak RSS.
  line() {
    row "$mib" "$1" "$2" "$3" "$(fmt "${best[$4]}")" "$(fmt "${cpu[$4]}")" "$(fmt "${srv[$4]}")" \
      "$5" "$6"
  }
  table+="$(
    line "zip -1 + curl -T" "${best[zip]}" "${best[zip-put]}" zip-total "${size[zip]}" \
      "$(max "${rss[zip]}" "${rss[zip-put]}")"
    line "igzip -1 + curl -T" "${best[igzip]}" "${best[igzip-put]}" igzip-total "${size[igzip]}" \
      "$(max "${rss[igzip]}" "${rss[igzip-put]}")"
    line "curl -T alone (store)" - - igzip-put "${size[igzip]}" "${rss[igzip-put]}"
    line "complete (store)" - - complete "${size[igzip]}" "${rss[complete]}"
    line "send-crashes, one part" - - send "$stored" "${rss[send]}"
    line "send-crashes, 50 MiB parts" - - send-parts "$stored" "${rss[send-parts]}"
    line "discard: igzip + curl -T" "${best[igzip]}" "${best[igzip-dput]}" igzip-dtotal \
      "${size[igzip]}" "$(max "${rss[igzip]}" "${rss[igzip-dput]}")"
    line "discard: send-crashes" - - dsend "$stored" "${rss[dsend]}"
    line "discard: send-crashes, 1 thr" - - dsend1 "$stored" "${rss[dsend1]}"
    if [[ -n "$before" ]]; then line "discard: before" - - dbefore "$stored" "${rss[dbefore]}"; fi
  )"$'\n'
  to_igzip="$(echo "${best[send]} / ${best[igzip-total]}" | bc -l)"
  to_zip="$(echo "${best[send]} / ${best[zip-total]}" | bc -l)"
  notes+="$mib MiB, send-crashes one part, phases (s): $(phases "$work/best-send.log")"$'\n'
  notes+="$mib MiB, send-crashes 50 MiB parts, phases (s): $(phases "$work/best-send-parts.log")"$'\n'
  notes+="$(printf '%s MiB: send-crashes / igzip pipeline %.2f (goal <= %s: %s); / zip -1 pipeline %.2f (goal <= %s: %s)' \
    "$mib" "$to_igzip" "$igzip_goal" "$(met "$to_igzip <= $igzip_goal")" \
    "$to_zip" "$zip_goal" "$(met "$to_zip <= $zip_goal")")"$'\n'
  summary_figure "upload $mib MiB: send-crashes wall" "$(fmt "${best[send]}")" s \
    "igzip -1 + curl -T" "$(fmt "${best[igzip-total]}")" "<= $igzip_goal"
  summary_figure "upload $mib MiB: send-crashes wall" "$(fmt "${best[send]}")" s \
    "zip -1 + curl -T" "$(fmt "${best[zip-total]}")" "<= $zip_goal"
  # The pipelines skip two jobs send-crashes must do: encrypting, and the
  # store's completion, which rewrites the whole object.
  with_complete="$(echo "${best[send]} / (${best[igzip-total]} + ${best[complete]})" | bc -l)"
  notes+="$(printf '%s MiB: send-crashes / (igzip pipeline + store completion) %.2f; the store (PUT + complete) took %.2f s of its %.2f s' \
    "$mib" "$with_complete" "$(phase_sum "$work/best-send.log")" "${best[send]}")"$'\n'
  for way in send send-parts; do
    notes+="$mib MiB: $way peak RSS ${rss[$way]} KiB (goal < $limit_kib: $(met "${rss[$way]} < $limit_kib"))"$'\n'
    ((rss[$way] < limit_kib)) || status=1
  done
  summary_figure "upload $mib MiB: send-crashes peak RSS" \
    "$(printf %.1f "$(echo "$(max "${rss[send]}" "${rss[send-parts]}") / 1024" | bc -l)")" MiB \
    "limit" $((limit_kib / 1024)) "< 1"
  discard_figures "" dsend dsend1 "$written" "${rss[dsend]}"
  if [[ -n "$before" ]]; then
    discard_figures "before: " dbefore dbefore "$written_before" "${rss[dbefore]}"
  fi
  unset size
done
echo
printf '%s\n%s' "$table" "$notes"
exit "$status"
