#!/usr/bin/env bash
# Builds both widths and runs every test: behaviour under Wine (x64), static checks (x86).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
status=0
ctest --preset x64 "$@" || status=1
ctest --preset x86 "$@" || status=1
exit $status
