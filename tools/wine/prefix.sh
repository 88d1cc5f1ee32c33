#!/usr/bin/env bash
# prefix.sh init PREFIX            create the Wine prefix once
# prefix.sh overrides PREFIX FILE  import the per-program DLL overrides when FILE changed
set -euo pipefail
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
cmd=$1 prefix=$2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
unset WINEDLLOVERRIDES DISPLAY
case "$cmd" in
  init)
    if [ ! -f "$prefix/system.reg" ]; then
      mkdir -p "$prefix"
      echo "wine prefix: creating $prefix"
      "$wine" wineboot -i >/dev/null 2>&1 || true
      "$wineserver" -w
      [ -f "$prefix/system.reg" ] || { echo "wine prefix: wineboot did not create $prefix" >&2; exit 1; }
    fi ;;
  overrides)
    file=$3 stamp="$prefix/.overrides-imported"
    "$0" init "$prefix"
    if [ ! -f "$stamp" ] || ! cmp -s "$file" "$stamp"; then
      "$wine" regedit /S "Z:${file//\//\\}" >/dev/null 2>&1
      "$wineserver" -w
      cp "$file" "$stamp"
    fi ;;
  *) echo "usage: prefix.sh init|overrides PREFIX [FILE]" >&2; exit 2 ;;
esac
