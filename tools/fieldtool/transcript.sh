#!/usr/bin/env bash
# The field tool's transcript against the shipped scenarios: list, info, watch (one arrival and
# one removal, scenario hotplug) and echo --size 65536 --count 1000, each line as typed and what
# it printed (the libraries' own lines, on standard error, are left out: --quiet for echo).
#   tools/fieldtool/transcript.sh x64      under wine64 here (build/x64)
#   tools/fieldtool/transcript.sh x86      in one boot of the x86 guest (build/x86)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
width=${1:-x64}
# scenario <tab> arguments (tab-separated)
steps=$(printf '%s\n' \
  "default	list" \
  "default	info	SIM0002" \
  "hotplug	watch	--seconds	6" \
  "default	echo	SIM0001	--size	65536	--count	1000	--quiet")
case "$width" in
  x64)
    cd "$root/build/x64/bin"
    while IFS=$'\t' read -r scenario args; do
      IFS=$'\t' read -r -a argv <<<"$args"
      echo "> set VARKO_SIM_SCENARIO=scenarios\\$scenario.scn"
      echo "> VarkoFieldTool ${argv[*]}"
      VARKO_SIM_SCENARIO="scenarios\\$scenario.scn" ../winerun VarkoFieldTool.exe "${argv[@]}" 2>/dev/null || echo "(exit code $?)"
      echo
    done <<<"$steps"
    ;;
  x86)
    build="$root/build/x86"
    out="$build/fieldtool-transcript"
    jobs=$(mktemp)
    trap 'rm -f "$jobs"' EXIT
    n=0
    while IFS=$'\t' read -r scenario args; do
      n=$((n + 1))
      # cmd sets the scenario for the one program it starts; its line goes to the tool as typed.
      printf 'step%d\t300\t1\tcmd.exe\t/c\tset VARKO_SIM_SCENARIO=scenarios\\%s.scn&& VarkoFieldTool.exe %s 2>nul\n' \
        "$n" "$scenario" "${args//$'\t'/ }" >>"$jobs"
    done <<<"$steps"
    "$root/tools/x86vm/run.sh" --bin "$build/bin" --jobs "$jobs" --overrides "$build/wine-overrides.reg" --out "$out" \
      --timeout 1800 >/dev/null
    n=0
    while IFS=$'\t' read -r scenario args; do
      n=$((n + 1))
      echo "> set VARKO_SIM_SCENARIO=scenarios\\$scenario.scn"
      echo "> VarkoFieldTool ${args//$'\t'/ }"
      tr -d '\r' <"$out/step$n.out"
      rc=$(cat "$out/step$n.rc")
      [ "$rc" = 0 ] || echo "(exit code $rc)"
      echo
    done <<<"$steps"
    ;;
  *) echo "usage: transcript.sh x64|x86" >&2; exit 2 ;;
esac
