#!/usr/bin/env bash
# Builds both widths (build/x64/bin and build/x86/bin) and packs them into the kit for host
# developers, dist/<name>-<version>.zip, which the kit's tests unpack and build hosts against.
set -euo pipefail
cd "$(dirname "$0")/.."
"./scripts/bootstrap.sh"
for width in x64 x86; do
  cmake --preset "$width" >/dev/null
  cmake --build --preset "$width"
done
echo "kit: $(tools/kit/pack.sh)"
