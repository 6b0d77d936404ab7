#!/usr/bin/env bash
# Time from starting korvane to its main window being mapped, under Xvfb (with openbox when
# installed). Usage: bench/startup.sh [build dir] [runs]
# With --cli: korvane-cli --version beside 7z i, in interleaved pairs, wall time of each whole
# process. Usage: bench/startup.sh --cli [build dir] [pairs]
set -euo pipefail
if [ "${1:-}" = --cli ]; then
    shift
    cli=$(realpath "${1:-build}/bin/korvane-cli")
    pairs=${2:-30}
    command -v 7z >/dev/null || { echo "7z is missing (package 7zip or p7zip-full)" >&2; exit 1; }
    # Microseconds of one run, from bash's own clock: no process is started to read it.
    us() { local s=$EPOCHREALTIME; "$@" >/dev/null 2>&1; local e=$EPOCHREALTIME; echo $(( ${e/./} - ${s/./} )); }
    median() { sort -g | awk '{v[NR]=$1} END {printf "median %s (min %s, max %s)", v[int((NR+1)/2)], v[1], v[NR]}'; }
    tmp=$(mktemp)
    "$cli" --version >/dev/null; 7z i >/dev/null # warm the page cache
    for _ in $(seq "$pairs"); do echo "$(us "$cli" --version) $(us 7z i)"; done >"$tmp"
    echo "korvane-cli --version, us: $(cut -d' ' -f1 "$tmp" | median)"
    echo "7z i, us: $(cut -d' ' -f2 "$tmp" | median)"
    echo "ratio of each pair: $(awk '{printf "%.3f\n", $1 / $2}' "$tmp" | median) ($pairs interleaved pairs; goal <= 1.2)"
    rm -f "$tmp"
    exit 0
fi
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
