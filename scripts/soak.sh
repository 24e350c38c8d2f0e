#!/usr/bin/env bash
# Crash-and-kill soak of send-crashes against the local crash server; not part
# of ctest. Options: --rounds N, --seed S, --kill-share F, --work DIR,
# --build DIR (relative to the repository). See scripts/soak.py.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -d tools/crash-server/node_modules ]; then
  echo "soak: the crash server's packages are missing; run scripts/setup.sh" >&2
  exit 2
fi
exec python3 scripts/soak.py "$@"
