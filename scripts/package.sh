#!/usr/bin/env bash
# Builds both widths and writes the kit for host developers: dist/<name>-<version>.zip (both
# widths, headers, import libraries, the CMake package, debug files) and its checksum file.
#
#   package.sh [--pkcs12 FILE] [--password-file FILE] [--timestamp URL]
#
# With a certificate (--pkcs12, or VARKO_SIGN_PKCS12) and its password (--password-file, or
# VARKO_SIGN_PASSWORD) every shipped binary is signed with Authenticode before the checksums are
# taken; --timestamp (or VARKO_SIGN_TIMESTAMP) names a time-stamp server. Without a certificate the
# kit is unsigned, and one line says so.
set -euo pipefail
cd "$(dirname "$0")/.."
while [ $# -gt 0 ]; do
  case "$1" in
    --pkcs12) export VARKO_SIGN_PKCS12=$(realpath "$2"); shift 2 ;;
    --password-file) VARKO_SIGN_PASSWORD=$(cat "$2"); export VARKO_SIGN_PASSWORD; shift 2 ;;
    --timestamp) export VARKO_SIGN_TIMESTAMP=$2; shift 2 ;;
    *) echo "package: unknown option $1 (--pkcs12 FILE, --password-file FILE, --timestamp URL)" >&2; exit 2 ;;
  esac
done
./scripts/build.sh   # builds both widths and packs them (tools/kit/pack.sh)
name=$(cat build/x64/kit/basename)
echo "=== dist/$name.zip"
cmake -E tar tvf "dist/$name.zip"
echo "=== dist/$name.zip.sha256"
cat "dist/$name.zip.sha256"
