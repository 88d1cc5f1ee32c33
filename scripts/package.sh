#!/usr/bin/env bash
# Builds both widths and writes the kit for host developers: dist/<name>-<version>.zip (both
# widths, headers, import libraries, the CMake package, debug files) and its checksum file.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh   # builds both widths and packs them (tools/kit/pack.sh)
name=$(cat build/x64/kit/basename)
echo "=== dist/$name.zip"
cmake -E tar tvf "dist/$name.zip"
echo "=== dist/$name.zip.sha256"
cat "dist/$name.zip.sha256"
