#!/usr/bin/env bash
# check-kit.sh KIT NAME: the unpacked kit KIT (top folder <NAME>-<version>) holds exactly the
# files of its layout, SHA256SUMS lists every other file, the README is docs/host-guide.md with
# the version filled in (and the README's administrators' section), and each shipped binary
#   - is stripped (no symbol table, no .debug_* section) and its .gnu_debuglink names its file
#     in <arch>/debug with that file's CRC-32;
#   - imports system DLLs only (objdump -p), so it loads on a bare Windows;
#   - has a debug file from which addr2line names the function of an address in the binary:
#     every export of a DLL, found through the stripped DLL's own export table, and the entry
#     point.
# Each DLL's .lib holds MSVC's short import entries for exactly its exports, bound to its file
# name (undecorated import names in the x86 one, which the C convention's exports need), and
# its .dll.a the same names.
set -uo pipefail
kit=$1 name=$2
fail=0
bad() { echo "FAILED: $*"; fail=1; }
ok() { echo "ok: $*"; }
system_dlls=" kernel32.dll user32.dll advapi32.dll ole32.dll setupapi.dll cfgmgr32.dll winusb.dll msvcrt.dll "

shipped=$(grep -v '^#' "$(dirname "$0")/../../tools/kit/shipped.txt")
# Each shipped binary, its debug file, and the rest of the layout.
expected=$( { echo "$shipped"; echo "$shipped" | sed 's|/bin/\(.*\)|/debug/\1.debug|'; cat <<EOF
README
SHA256SUMS
include/LinkWinUsb.h
include/inputgate.h
lib/cmake/$name/${name}Config.cmake
lib/cmake/$name/${name}ConfigVersion.cmake
x64/lib/LinkWinUsb.lib
x64/lib/inputgate64.lib
x64/lib/libLinkWinUsb.dll.a
x64/lib/libinputgate64.dll.a
x86/lib/LinkWinUsb.lib
x86/lib/inputgate32.lib
x86/lib/libLinkWinUsb.dll.a
x86/lib/libinputgate32.dll.a
EOF
} | LC_ALL=C sort)
actual=$(cd "$kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" = "$expected" ]; then
  ok "layout: $(echo "$actual" | wc -l) files, as expected"
else
  bad "layout differs (< expected, > found):"; diff <(echo "$expected") <(echo "$actual")
fi
listed=$(awk '{print $2}' "$kit/SHA256SUMS" | LC_ALL=C sort)
if [ "$listed" = "$(echo "$expected" | grep -vx SHA256SUMS)" ]; then
  ok "SHA256SUMS lists every other file"
else
  bad "SHA256SUMS lists other files:"; diff <(echo "$expected" | grep -vx SHA256SUMS) <(echo "$listed")
fi

# The README is the host guide with the version filled in, and the administrators' section after it.
version=${kit%/}; version=${version##*/}; version=${version#"$name"-}
readme="$kit/README"
if grep -q '<version>\|<major>\.<minor>' "$readme"; then
  bad "README still holds a placeholder: $(grep -m1 '<version>\|<major>\.<minor>' "$readme")"
elif head -n 1 "$readme" | grep -qx '# Host integration guide' &&
  grep -qF "$name \`$version\`" "$readme" && grep -qF "Version $version" "$readme" &&
  grep -qF "find_package($name $(echo "$version" | cut -d. -f1,2) CONFIG REQUIRED)" "$readme" &&
  grep -qx '## Installing the service (administrators)' "$readme"; then
  ok "README: the host guide and the administrators' section, for version $version"
else
  bad "README is not the host guide with version $version filled in and the administrators' section"
fi

# The bytes of one section as a hex string.
section_hex() {
  "$objdump" -s -j "$2" "$1" 2>/dev/null | awk '/^ [0-9a-f]+ /{for (i = 2; i <= 5 && i <= NF; i++) if ($i ~ /^[0-9a-f]+$/) printf "%s", $i}'
}

# addr2line's outermost function at each address (inlined frames come first, -i lists them).
function_at() {
  "$addr2line" -a -f -i -e "$1" "${@:2}" | awk '
    /^0x[0-9a-f]+$/ { if (n++) print fn; fn = "??"; line = 0; next }
    { if (line++ % 2 == 0) fn = $0 }
    END { if (n) print fn }'
}

check_binary() {
  local arch=$1 file=$2 kind
  local binary="$kit/$arch/bin/$file" debug="$kit/$arch/debug/$file.debug"
  case "$arch" in
    x64) tools=x86_64-w64-mingw32 ;;
    x86) tools=i686-w64-mingw32 ;;
  esac
  objdump=$tools-objdump addr2line=$tools-addr2line
  [ -f "$binary" ] && [ -f "$debug" ] || { bad "$arch/bin/$file or its debug file is missing"; return; }

  # Stripped, and linked to its debug file.
  # Here-strings, not pipes: grep -q ends at its first match, and under pipefail the writer's
  # SIGPIPE would turn that match into a miss.
  if grep -q '^no symbols$' <<<"$("$objdump" -t "$binary")" && ! grep -q ' \.debug_' <<<"$("$objdump" -h "$binary")"; then
    ok "$arch/bin/$file is stripped ($(stat -c %s "$binary") bytes)"
  else
    bad "$arch/bin/$file still carries symbols or debug sections"
  fi
  if ! grep -q ' \.debug_info ' <<<"$("$objdump" -h "$debug")"; then
    bad "$arch/debug/$file.debug has no .debug_info"
  fi
  local link want_name name_hex crc_hex crc_at want_crc
  link=$(section_hex "$binary" .gnu_debuglink)
  want_name=$(printf '%s' "$file.debug" | od -An -tx1 | tr -d ' \n')
  name_hex=${link%%00*}
  # The name, its terminator, padding to 4 bytes, then the CRC-32 (little-endian).
  crc_at=$(( ( (${#want_name} / 2 + 1 + 3) / 4 * 4 ) * 2 ))
  crc_hex=${link:$crc_at:8}
  want_crc=$(gzip -c <"$debug" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')
  if [ "${link:0:${#want_name}}" = "$want_name" ] && [ "${link:${#want_name}:2}" = "00" ] && [ "$crc_hex" = "$want_crc" ]; then
    ok "$arch/bin/$file links to $file.debug, CRC-32 $want_crc matches"
  else
    bad "$arch/bin/$file: .gnu_debuglink '$link' does not name $file.debug with CRC-32 $want_crc"
  fi

  # System DLLs only.
  local imports lib others=""
  imports=$("$objdump" -p "$binary" | awk '/DLL Name:/{print tolower($3)}' | LC_ALL=C sort -u)
  for lib in $imports; do
    case "$system_dlls" in *" $lib "*) ;; *) others="$others $lib" ;; esac
  done
  if [ -z "$imports" ] || [ -n "$others" ]; then
    bad "$arch/bin/$file imports DLLs that are not system DLLs:${others:- (no import table found)}"
  else
    ok "$arch/bin/$file imports system DLLs only: $(echo $imports)"
  fi

  # addr2line names the function at an address of the shipped binary.
  local base entry
  base=$("$objdump" -p "$binary" | awk '$1 == "ImageBase" {print $2}')
  entry=$("$objdump" -p "$binary" | awk '$1 == "AddressOfEntryPoint" {print $2}')
  local at_entry
  at_entry=$(function_at "$debug" "$(printf '0x%x' $(( 0x$base + 0x$entry )))")
  if [ -n "$at_entry" ] && [ "$at_entry" != "??" ]; then
    ok "$arch/bin/$file entry point: addr2line names $at_entry"
  else
    bad "$arch/bin/$file entry point: addr2line names no function"
  fi
  case "$file" in *.dll) ;; *) return ;; esac

  local exports addresses names found wrong=""
  exports=$(llvm-readobj --coff-exports "$binary" | awk '$1 == "Name:" {n = $2} $1 == "RVA:" {print n, $2}')
  names=$(echo "$exports" | awk '{print $1}' | LC_ALL=C sort)
  addresses=$(echo "$exports" | while read -r export rva; do printf '0x%x\n' $(( 0x$base + rva + 1 )); done)
  # shellcheck disable=SC2086
  found=$(function_at "$debug" $addresses)
  while read -r export expected_fn actual_fn; do
    [ "$expected_fn" = "$actual_fn" ] || wrong="$wrong $export->$actual_fn"
  done < <(paste -d ' ' <(echo "$exports" | awk '{print $1, $1}') <(echo "$found"))
  if [ -n "$exports" ] && [ -z "$wrong" ]; then
    ok "$arch/bin/$file: addr2line names each of its $(echo "$names" | wc -l) exports at its own address (e.g. $(echo "$exports" | head -1 | awk '{print $1}') at $(echo "$addresses" | head -1))"
  else
    bad "$arch/bin/$file: addr2line names other functions at the exports:${wrong:- (no exports found)}"
  fi

  # Import libraries: the same names, bound to this file.
  local base_name=${file%.dll} implib lib_names members name_types files
  local strip_underscore='s/^_//'
  [ "$arch" = x64 ] && strip_underscore='s/^//'
  for implib in "$kit/$arch/lib/$base_name.lib" "$kit/$arch/lib/lib$base_name.dll.a"; do
    lib_names=$(llvm-nm "$implib" 2>/dev/null | awk '$3 ~ /^__imp_/ {sub(/^__imp_/, "", $3); print $3}' |
      sed "$strip_underscore" | LC_ALL=C sort)
    if [ "$lib_names" = "$names" ]; then
      ok "$arch/lib/$(basename "$implib"): the $(echo "$names" | wc -l) exports of $file"
    else
      bad "$arch/lib/$(basename "$implib") and the exports of $file differ (< exports, > library):"
      diff <(echo "$names") <(echo "$lib_names")
    fi
  done
  members=$(llvm-readobj "$kit/$arch/lib/$base_name.lib" | grep -c '^Format: COFF-import-file')
  name_types=$(llvm-readobj "$kit/$arch/lib/$base_name.lib" | awk '/^Name type:/{print $3}' | sort -u)
  files=$(llvm-readobj "$kit/$arch/lib/$base_name.lib" | awk '/^Format: COFF-import-file/{print prev} {prev = $2}' | sort -u)
  local want_type=name
  [ "$arch" = x86 ] && want_type=noprefix
  if [ "$members" = "$(echo "$names" | wc -l)" ] && [ "$name_types" = "$want_type" ] && [ "$files" = "$file" ]; then
    ok "$arch/lib/$base_name.lib: $members short import entries (MSVC's format), name type $want_type, for $file"
  else
    bad "$arch/lib/$base_name.lib: $members short import entries, name types '$name_types', DLL names '$files'; want $(echo "$names" | wc -l), $want_type, $file"
  fi
}

for binary in $shipped; do
  check_binary "${binary%%/*}" "${binary##*/}"
done
exit $fail
