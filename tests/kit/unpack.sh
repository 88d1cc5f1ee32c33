#!/usr/bin/env bash
# unpack.sh ARCHIVE DEST BUILD...: the kit as a host developer receives it, unpacked afresh into
# DEST after three checks: the archive is not older than the shipped binaries of the BUILD
# folders it was packed from (else the tests would try an old kit), its checksum file
# (ARCHIVE.sha256) matches, and so does every line of the kit's SHA256SUMS.
set -euo pipefail
archive=$1 dest=$2
shift 2
if [ ! -f "$archive" ]; then
  echo "no kit at $archive: scripts/build.sh (or scripts/package.sh) writes it"
  exit 1
fi
for build in "$@"; do
  for binary in "$build"/bin/LinkWinUsb.dll "$build"/bin/inputgate*.dll "$build"/bin/VarkoNodeSweepService.exe; do
    if [ -f "$binary" ] && [ "$binary" -nt "$archive" ]; then
      echo "$archive is older than $binary: scripts/build.sh packs the kit again"
      exit 1
    fi
  done
done
(cd "$(dirname "$archive")" && sha256sum -c "$(basename "$archive").sha256")
rm -rf "$dest"
mkdir -p "$dest"
(cd "$dest" && cmake -E tar xf "$archive")
root=$(find "$dest" -mindepth 1 -maxdepth 1 -type d)
[ "$(echo "$root" | wc -l)" = 1 ] || { echo "the archive holds more than one top folder: $root"; exit 1; }
(cd "$root" && sha256sum -c --quiet SHA256SUMS) || { echo "SHA256SUMS does not match the unpacked files"; exit 1; }
echo "unpacked $(basename "$archive") into $root: $(cd "$root" && find . -type f | wc -l) files, SHA256SUMS matches"
