#!/usr/bin/env bash
# pack.sh: the kit from the two builds as they are (it builds nothing): `cmake --install` of
# build/x64 and build/x86 into one tree, SHA256SUMS of its files, then
# dist/<name>-<version>.zip and dist/<name>-<version>.zip.sha256. Prints the archive's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
for width in x64 x86; do
  if [ ! -f "$root/build/$width/kit/basename" ]; then
    echo "pack: build/$width is not configured; build both widths first (scripts/build.sh)" >&2
    exit 1
  fi
done
name=$(cat "$root/build/x64/kit/basename")
if [ "$(cat "$root/build/x86/kit/basename")" != "$name" ]; then
  echo "pack: the two builds disagree on the kit's name: $name and $(cat "$root/build/x86/kit/basename")" >&2
  exit 1
fi

stage="$root/build/kit-stage"
rm -rf "$stage"
mkdir -p "$stage/$name" "$root/dist"
for width in x64 x86; do
  cmake --install "$root/build/$width" --prefix "$stage/$name" >"$stage/install-$width.log" ||
    { cat "$stage/install-$width.log" >&2; echo "pack: cmake --install of build/$width failed" >&2; exit 1; }
done
(
  cd "$stage/$name"
  find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort >"$stage/files"
  # shellcheck disable=SC2046
  sha256sum $(cat "$stage/files") >SHA256SUMS
)
(
  cd "$stage"
  { echo "$name/SHA256SUMS"; sed "s|^|$name/|" files; } | LC_ALL=C sort >archive-files
  cmake -E tar cf "$stage/$name.zip" --format=zip --files-from=archive-files
)
mv "$stage/$name.zip" "$root/dist/$name.zip"
(cd "$root/dist" && sha256sum "$name.zip" >"$name.zip.sha256")
echo "$root/dist/$name.zip"
