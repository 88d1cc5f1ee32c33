#!/usr/bin/env bash
# service-demo.sh BUILD_DIR (the x64 build): the sweep service under Wine's SCM: its version,
# an install (the SCM starts the service) and a removal (the service is stopped and deleted).
# Exits 0 when every step printed what it should.
set -euo pipefail
build=$(cd "${1:?usage: service-demo.sh BUILD_DIR}" && pwd)
run="$build/winerun"
exe="$build/bin/VarkoNodeSweepService.exe"
[ -x "$run" ] && [ -f "$exe" ] || { echo "service-demo: build $build first" >&2; exit 1; }

out=
step() {   # step TITLE EXPECTED-PATTERN ARGS...
  local title=$1 pattern=$2; shift 2
  echo "== VarkoNodeSweepService $title"
  out=$("$run" "$exe" "$@" | tr -d '\r')
  echo "$out"
  if ! grep -Eq "$pattern" <<<"$out"; then
    echo "service-demo: unexpected output for $title" >&2
    exit 1
  fi
}

step -version '^Version 0\.9\.4\.0$' -version
# A service left over from an earlier run is removed first, as -install itself does.
step -install 'VarkoDevNodeService is installed\.$' -install
sleep 1
step -remove 'VarkoDevNodeService is removed\.$' -remove
grep -q '^VarkoDevNodeService is stopped\.$' <<<"$out" || { echo "service-demo: the service was not running" >&2; exit 1; }
echo "service-demo: the service was installed, ran under the SCM and was removed"
