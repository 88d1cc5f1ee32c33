#!/usr/bin/env bash
# Builds both widths: build/x64/bin and build/x86/bin.
set -euo pipefail
cd "$(dirname "$0")/.."
"./scripts/bootstrap.sh"
for width in x64 x86; do
  cmake --preset "$width" >/dev/null
  cmake --build --preset "$width"
done
