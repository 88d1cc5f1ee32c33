#!/usr/bin/env bash
# pack.sh: the kit from the two builds as they are (it builds nothing): `cmake --install` of
# build/x64 and build/x86 into one tree, SHA256SUMS of its files, then
# dist/<name>-<version>.zip and dist/<name>-<version>.zip.sha256. Prints the archive's path.
# With VARKO_SIGN_PKCS12 (a PKCS#12 file) and VARKO_SIGN_PASSWORD (its password) it signs every
# shipped binary with Authenticode (osslsigncode) before the checksums are taken, with a time stamp
# from VARKO_SIGN_TIMESTAMP (a URL) when that is set; without a certificate the kit is unsigned and
# one line on standard error says so. VARKO_KIT_OUT, when set, is the folder that receives the
# archive (and the staging folder) instead of dist/ (the signing test packs a kit of its own).
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

dist="${VARKO_KIT_OUT:-$root/dist}"
stage="${VARKO_KIT_OUT:+$VARKO_KIT_OUT/kit-stage}"
stage="${stage:-$root/build/kit-stage}"
rm -rf "$stage"
mkdir -p "$stage/$name" "$dist"
for width in x64 x86; do
  cmake --install "$root/build/$width" --prefix "$stage/$name" >"$stage/install-$width.log" ||
    { cat "$stage/install-$width.log" >&2; echo "pack: cmake --install of build/$width failed" >&2; exit 1; }
done
mapfile -t shipped < <(grep -v '^#' "$root/tools/kit/shipped.txt")
if [ -n "${VARKO_SIGN_PKCS12:-}" ]; then
  if [ ! -f "$VARKO_SIGN_PKCS12" ]; then
    echo "pack: no PKCS#12 file at $VARKO_SIGN_PKCS12 (VARKO_SIGN_PKCS12)" >&2
    exit 1
  fi
  command -v osslsigncode >/dev/null 2>&1 || { echo "pack: osslsigncode is missing: scripts/bootstrap.sh installs it" >&2; exit 1; }
  stamp=()
  if [ -n "${VARKO_SIGN_TIMESTAMP:-}" ]; then stamp=(-ts "$VARKO_SIGN_TIMESTAMP"); fi
  for binary in "${shipped[@]}"; do
    # The password goes through a file only the signer reads, not through the command line.
    osslsigncode sign -pkcs12 "$VARKO_SIGN_PKCS12" -readpass <(printf '%s' "${VARKO_SIGN_PASSWORD:-}") \
      -h sha256 -n "$name" "${stamp[@]}" -in "$stage/$name/$binary" -out "$stage/$name/$binary.signed" \
      >"$stage/sign.log" 2>&1 || { cat "$stage/sign.log" >&2; echo "pack: signing $binary failed" >&2; exit 1; }
    mv "$stage/$name/$binary.signed" "$stage/$name/$binary"
  done
  echo "pack: signed ${#shipped[@]} binaries with $(basename "$VARKO_SIGN_PKCS12")${VARKO_SIGN_TIMESTAMP:+, time stamp from $VARKO_SIGN_TIMESTAMP}" >&2
else
  echo "pack: unsigned kit (no certificate: set VARKO_SIGN_PKCS12 and VARKO_SIGN_PASSWORD, or scripts/package.sh --pkcs12)" >&2
fi
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
mv "$stage/$name.zip" "$dist/$name.zip"
(cd "$dist" && sha256sum "$name.zip" >"$name.zip.sha256")
echo "$dist/$name.zip"
