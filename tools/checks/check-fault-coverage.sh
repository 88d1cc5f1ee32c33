#!/usr/bin/env bash
# check-fault-coverage.sh OBJDUMP NM DOC SECTION BINARY OBJECTS_FILE
# The section "## SECTION" of DOC (docs/fault-coverage.md) names exactly the functions of system
# DLLs that BINARY imports and its own object files (one path a line in OBJECTS_FILE) call, each
# once, and its count line ("N functions: a failed in a test, b with no failure mode, c that cannot
# be failed here.") adds up with the rows under its three headings. The C runtime is not counted.
set -euo pipefail
objdump=$1 nm=$2 doc=$3 section=$4 binary=$5 objects=$6
fail() { echo "fault coverage of $section: $*" >&2; exit 1; }

# The import table: "dll name" per imported function.
imports=$("$objdump" -p "$binary" |
  awk '/DLL Name:/ { dll = tolower($3); next } dll && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }')
[ -n "$imports" ] || fail "no import table in $binary"
# What our objects leave undefined, without the import prefix, the stdcall suffix and (in x86) the
# leading underscore of C names.
x86=0
case $("$objdump" -f "$binary") in *i386*) x86=1 ;; esac
mapfile -t files < <(grep -E '\.(obj|o)$' "$objects")   # not the version resource
[ "${#files[@]}" -gt 0 ] || fail "no object files in $objects"
called=$("$nm" -u "${files[@]}" | awk 'NF == 2 { print $2 }' |
  sed -E 's/^__imp_//; s/@[0-9]+$//' | { if [ "$x86" = 1 ]; then sed -E 's/^_//'; else cat; fi; } | sort -u)
ours=$(awk 'NR == FNR { called[$1] = 1; next } $1 != "msvcrt.dll" && ($2 in called) { print $2 }' \
  <(printf '%s\n' "$called") <(printf '%s\n' "$imports") | sort)

# The section: from its heading to the next one of its level.
text=$(awk -v want="## $section" '$0 == want { on = 1; next } on && /^## / { exit } on' "$doc")
[ -n "$text" ] || fail "no section \"## $section\" in $doc"
# The names in the first cell of each table row under a heading of the given kind.
names_under() {
  printf '%s\n' "$text" | awk -v kind="$1" '
    /^### / { on = ($0 == "### " kind); next }
    on && /^\| `/ { split($0, cell, "|"); print cell[2] }' | grep -o '`[^`]*`' | tr -d '`' || true
}
failed=$(names_under "Failed in a test")
none=$(names_under "No failure mode")
cannot=$(names_under "Cannot be failed here")
listed=$(printf '%s\n' "$failed" "$none" "$cannot" | sed '/^$/d' | sort)

twice=$(printf '%s\n' "$listed" | uniq -d)
[ -z "$twice" ] || fail "listed more than once: $(echo $twice)"
missing=$(comm -23 <(printf '%s\n' "$ours") <(printf '%s\n' "$listed"))
extra=$(comm -13 <(printf '%s\n' "$ours") <(printf '%s\n' "$listed"))
[ -z "$missing" ] || fail "imported and called by our code, but not listed: $(echo $missing)"
[ -z "$extra" ] || fail "listed, but not an import that our code calls: $(echo $extra)"

count() { printf '%s\n' "$1" | sed '/^$/d' | wc -l | tr -d ' '; }
line="$(count "$listed") functions: $(count "$failed") failed in a test, $(count "$none") with no failure mode, $(count "$cannot") that cannot be failed here."
printf '%s\n' "$text" | grep -xF "$line" >/dev/null || fail "the count line should read: $line"
echo "fault coverage of $section: $line"
