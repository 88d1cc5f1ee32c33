#!/usr/bin/env bash
# Installs what is missing, builds both widths and runs the demo under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh
echo
echo "=== LinkWinUsb demo host against the simulated device world ==="
build/x64/winerun build/x64/bin/lwu_demo.exe
for extra in sweepservice/demo/service-demo.sh; do
  if [ -x "$extra" ]; then
    echo
    "$extra" "$PWD/build/x64"
  fi
done
echo
echo "demo finished: every step succeeded"
