#!/usr/bin/env bash
# Builds the program and runs its main job on a local default, in a scratch
# directory: the program crashes itself (simulate-crash, with two log
# rotations), then send-crashes packages that crash and uploads it to the
# local crash server, which shows what arrived.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
root="$PWD"
bin="$root/${BUILD_DIR:-build}/zorcrashreporter"
work="$(mktemp -d)"
cd "$work"

node "$root/tools/crash-server/crash-server.js" --port 0 --data "$work/server" > server.out &
server=$!
trap 'kill "$server" 2>/dev/null' EXIT
for _ in $(seq 100); do grep -q "listening on" server.out 2>/dev/null && break; sleep 0.1; done
url="$(grep -o 'http://[0-9.:]*' server.out | head -1)"

cat > zorcrashreporter.yml <<EOF
servercrashupload.data.dir: $work/data
servercrashupload.upload_endpoint: $url
servercrashupload.rsa_endpoint: $url/crash/key
servercrashupload.log.dir: $work/logs
servercrashupload.dump.dirs: $work/logs
EOF

echo "== $bin --version"; "$bin" --version
echo "== $bin --command simulate-crash (in $work)"
(ulimit -c 0; "$bin" --command simulate-crash --enable-features crash-handler \
  --rotate-log-n-times 2 --rotate-log-interval 1)
echo "exit status: $? (the process died of its own crash)"
ls -l "$work"/logs/crashdumps/*.crash
echo "== $bin --command send-crashes"
"$bin" --command send-crashes; echo "exit status: $?"
for record in "$work"/server/packages/*.json; do
  echo "== arrived at $url: $(basename "$record" .json)"
  node "$root/tools/crash-server/decrypt.js" --data "$work/server" "$(basename "$record" .json)"
done
