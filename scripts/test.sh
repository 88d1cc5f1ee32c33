#!/usr/bin/env bash
# Builds both widths and runs every test: the x64 programs under wine64 here, the x86 programs
# under Wine's 32-bit loader in one boot of a QEMU guest (tools/x86vm). TEST_WIDTHS="x64" or
# "x86" runs one width alone; extra arguments go to each ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
status=0
for width in ${TEST_WIDTHS:-x64 x86}; do
  echo "=== tests, $width"
  ctest --preset "$width" "$@" || status=1
done
exit $status
