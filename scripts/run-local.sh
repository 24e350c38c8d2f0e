#!/usr/bin/env bash
# The program's main job on the local default: builds, starts the local crash
# server in a scratch directory, makes the program crash itself there
# (simulate-crash, with two log rotations), runs `send-crashes` against the
# server with a configuration file made for it, and shows what the server
# received, decrypted with its key. The scratch directory stays for a look
# afterwards; its path is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
root="$PWD"
bin="$root/${BUILD_DIR:-build}/zorcrashreporter"
work="$(mktemp -d /tmp/zorcrashreporter-demo.XXXXXX)"

node tools/crash-server/crash-server.js --port 0 --data "$work/server" >"$work/server.log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
url=""
for _ in $(seq 300); do
  url="$(sed -n '1s/^listening on //p' "$work/server.log")"
  [ -n "$url" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$url" ]; then
  echo "The local crash server did not start; its output:" >&2
  cat "$work/server.log" >&2
  exit 1
fi
echo "== local crash server at $url (data in $work/server)"

cat >"$work/zorcrashreporter.yml" <<EOF
servercrashupload.upload_endpoint: $url
servercrashupload.rsa_endpoint: $url/crash/key
servercrashupload.dump.dirs: $work/logs
servercrashupload.data.dir: $work/data
servercrashupload.log.dir: $work/logs
servercrashupload.upload_part_size_in_bytes: 1048576
EOF
echo "== $bin --command simulate-crash --enable-features crash-handler --rotate-log-n-times 2"
# The crash is the point: no core file, and its status is expected.
(cd "$work" && ulimit -c 0 && "$bin" --command simulate-crash --enable-features crash-handler \
  --rotate-log-n-times 2 --rotate-log-interval 1) || echo "exit status: $? (it died of its own crash)"
ls -l "$work"/logs/crashdumps/*.crash

echo "== $bin --command send-crashes --config-file $work/zorcrashreporter.yml"
status=0
(cd "$work" && "$bin" --command send-crashes --config-file "$work/zorcrashreporter.yml") || status=$?
echo "exit status: $status"

echo "== what the server received, decrypted"
for record in "$work"/server/packages/*.json; do
  [ -e "$record" ] || { echo "(nothing)"; break; }
  node tools/crash-server/decrypt.js --data "$work/server" "$(basename "$record" .json)"
done
echo "== to browse it: node tools/crash-server/crash-server.js --port 8080 --data $work/server"
echo "   then open http://127.0.0.1:8080/"
exit "$status"
