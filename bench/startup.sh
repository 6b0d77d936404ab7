#!/usr/bin/env bash
# Time from starting korvane to its main window being mapped, under Xvfb (with openbox when
# installed). Usage: bench/startup.sh [build dir] [runs]
set -euo pipefail
if [ -z "${KORVANE_STARTUP_INNER:-}" ]; then
    export KORVANE_STARTUP_INNER=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
exe=$(realpath "${1:-build}/bin/korvane")
runs=${2:-10}
command -v openbox >/dev/null && { openbox >/dev/null 2>&1 & sleep 1; }
for _ in $(seq "$runs"); do
    home=$(mktemp -d)
    start=$(date +%s%N)
    HOME=$home "$exe" >/dev/null 2>&1 &
    pid=$!
    until xdotool search --onlyvisible --name '^Korvane V1.0.0$' >/dev/null 2>&1; do sleep 0.005; done
    end=$(date +%s%N)
    kill "$pid"; wait "$pid" 2>/dev/null || true
    rm -rf "$home"
    echo $(( (end - start) / 1000000 ))
done | sort -n | awk '{a[NR]=$1} END {print "start-up to shown main window, ms: median " a[int((NR+1)/2)] ", min " a[1] ", max " a[NR] " (" NR " runs)"}'
