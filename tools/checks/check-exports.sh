#!/usr/bin/env bash
# check-exports.sh OBJDUMP DLL NAME...
# The DLL exports exactly NAME..., undecorated; each export returns with a plain `ret`
# (caller removes the arguments: the C convention, also in the 32-bit build); and it
# imports only system DLLs, so it loads on a bare Windows.
set -uo pipefail
objdump=$1 dll=$2; shift 2
fail=0
exports=$("$objdump" -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF;next} t&&!/^[ \t]*\[/{t=0}' | sort)
want=$(printf '%s\n' "$@" | sort)
if [ "$exports" != "$want" ]; then
  echo "exports differ from the expected set:"; diff <(echo "$want") <(echo "$exports"); fail=1
fi
# Here-strings, not pipes: grep -q ends at its first match, and under pipefail the writer's SIGPIPE
# would turn a match into a failed test.
if grep -q '@' <<<"$exports"; then echo "decorated export names: $(echo "$exports" | grep '@')"; fail=1; fi
imports=$("$objdump" -p "$dll" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
for lib in $imports; do
  case "$lib" in
    libgcc*|libstdc++*|libwinpthread*|*mingw*) echo "imports a runtime DLL that a bare Windows lacks: $lib"; fail=1 ;;
  esac
done
disasm=$("$objdump" -d --no-show-raw-insn "$dll")
for name in "$@"; do
  body=$(echo "$disasm" | awk -v n="$name" '
    $0 ~ "^[0-9a-f]+ <_?" n "(@[0-9]+)?>:$" {on=1; next}
    on && /^[0-9a-f]+ <.*>:$/ {exit}
    on {print}')
  if [ -z "$body" ]; then echo "no code found for export $name"; fail=1; continue; fi
  if grep -Eq 'ret[lq]?\s+\$' <<<"$body"; then
    echo "export $name removes its own arguments (ret N): not the C convention"; fail=1
  fi
done
[ $fail = 0 ] && echo "$(basename "$dll"): ${#@} exports, undecorated, C convention, system imports only"
exit $fail
