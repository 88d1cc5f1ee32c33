#!/bin/sh
# Runs in the x86 guest (from the payload): imports the per-program DLL overrides, then runs the
# jobs of jobs.txt in two lanes under Wine's 32-bit loader. After each job the whole results
# folder is written again, as one tar stream, to the results disk (/dev/vdc), so that what
# finished is kept even when a later job hangs the guest.
cd /payload || exit 1
# The run's settings, as run.sh wrote them into the payload.
X86VM_WINEDEBUG=""
[ -f guest.env ] && . ./guest.env
export WINEPREFIX=/root/prefix32 WINEARCH=win32 WINEDEBUG="${X86VM_WINEDEBUG:--all}"
unset DISPLAY WINEDLLOVERRIDES
mkdir -p /results
tab=$(printf '\t')

publish() {
  (
    flock 8
    tar -cf /dev/vdc -C /results . && sync
  ) 8>/tmp/publish.lock
}

echo "x86vm: preparing the prefix"
wineserver -p 120 2>/dev/null   # keep one Wine server for all jobs
wine regedit /S 'Z:\payload\overrides.reg' >/dev/null 2>&1

# Every process of the guest with each thread's state, kernel wait and system call: what a job
# that is about to time out is stuck in (the Wine server, the test program, a child of it).
snapshot() {
  for d in /proc/[0-9]*; do
    cmd=$(tr '\0' ' ' <"$d/cmdline" 2>/dev/null)
    [ -n "$cmd" ] || continue
    printf 'process %s: %s\n' "${d#/proc/}" "$cmd"   # printf: dash's echo reads the \e of C:\windows\explorer
    for t in "$d"/task/*; do
      printf '  thread %s %s wchan=%s syscall=%s\n' "${t##*/}" "$(cut -d' ' -f3 "$t/stat" 2>/dev/null)" \
        "$(cat "$t/wchan" 2>/dev/null)" "$(cat "$t/syscall" 2>/dev/null)"
    done
  done
}

run_lane() {
  lane=$1
  while IFS="$tab" read -r name seconds job_lane exe args; do
    [ "$job_lane" = "$lane" ] || continue
    echo "x86vm: start $name"
    started=$(date +%s)
    # Shortly before the time-out kills it, a picture of where the job hangs.
    ( sleep $(( seconds > 60 ? seconds - 20 : seconds )) && snapshot >"/results/$name.hang" 2>&1 ) &
    watcher=$!
    (
      cd /payload/bin || exit 1
      # One argument per tab-separated field, blanks and all; test filters hold '*'.
      set -f
      IFS="$tab"
      # shellcheck disable=SC2086
      set -- $args
      exec timeout -k 10 "$seconds" wine "$exe" "$@"
    ) >"/results/$name.out" 2>"/results/$name.err" </dev/null
    rc=$?
    kill "$watcher" 2>/dev/null
    took=$(( $(date +%s) - started ))
    echo "$took" >"/results/$name.seconds"
    echo "$rc" >"/results/$name.rc"
    echo "x86vm: end $name rc=$rc ${took}s"
    publish
  done <jobs.txt
}

run_lane 1 &
run_lane 2 &
wait
echo done >/results/guest.done
publish
echo "x86vm: all jobs ended"
