#!/usr/bin/env bash
# Builds the program and shows what it does so far, in a scratch directory:
# its help, its version, and a send-crashes run with a local log directory.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
bin="$PWD/${BUILD_DIR:-build}/zorcrashreporter"
work="$(mktemp -d)"
cd "$work"
echo "== $bin --help"; "$bin" --help
echo "== $bin --version"; "$bin" --version
echo "== $bin --command send-crashes (in $work)"
"$bin" --command send-crashes; echo "exit status: $?"
echo "== log file $work/logs/zorcrashreporter.txt"; cat "$work/logs/zorcrashreporter.txt"
