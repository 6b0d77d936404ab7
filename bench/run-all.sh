#!/usr/bin/env bash
# Runs every benchmark beside its peer and prints one table: job, ours and the peer (wall-clock
# medians, seconds), the wall and CPU ratios each with its spread (the lowest and highest ratio of
# the interleaved pairs, the order turned each round, so a reader tells a change from noise), the
# goal and whether it was met; each median's own spread (min–max) goes to the log.
# Copies run on tmpfs and on the disk the tests use.
#
#   bench/run-all.sh [--build DIR] [--rounds N] [--tmpfs DIR] [--disk DIR] [--log FILE] [--no-one-core]
#
# Every row is measured again on one core (taskset -c 0), unless --no-one-core.
#
# A benchmark with a rows mode prints job<TAB>ours_wall<TAB>peer_wall<TAB>ours_cpu<TAB>peer_cpu
# (medians), optionally followed by <TAB>wall_ratio_min<TAB>wall_ratio_max<TAB>cpu_ratio_min
# <TAB>cpu_ratio_max over its pairs, and is asked for them, whatever jobs it has. A job whose benchmark prints no rows
# yet is timed here, as whole processes. The machine may be shared: read the spread.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-test rounds=5 tmpfs=/dev/shm disk=${TMPDIR:-/tmp} log= onecore=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --tmpfs) tmpfs=$2; shift 2 ;;
    --disk) disk=$2; shift 2 ;;
    --log) log=$2; shift 2 ;;
    --no-one-core) onecore=; shift ;;
    *) echo "usage: $0 [--build DIR] [--rounds N] [--tmpfs DIR] [--disk DIR] [--log FILE] [--no-one-core]" >&2; exit 2 ;;
  esac
done
bin=$(realpath "$build/bin")
work=$(mktemp -d)
trap 'rm -rf "$work" "$tmpfs/korvane-bench.$$" "$disk/korvane-bench.$$"' EXIT
[ -n "$log" ] || log=$work/log
: >"$log"
rows=$work/rows
: >"$rows"

# Rows of a benchmark binary, scaled to seconds (SCALE: 1 for seconds, 0.001 for ms). True when
# it printed at least one.
collect() {
  local scale=$1 before
  shift
  before=$(wc -l <"$rows")
  echo "== $*" >>"$log"
  "${pin[@]}" "$@" 2>>"$log" | awk -F'\t' -v s="$scale" -v suffix="$suffix" \
    'NF >= 5 && $2 + 0 > 0 {
      printf "%s%s\t%.4f\t%.4f\t%.4f\t%.4f", $1, suffix, $2 * s, $3 * s, $4 * s, $5 * s
      if (NF >= 9) printf "\t%s\t%s\t%s\t%s", $6, $7, $8, $9
      printf "\n" }' \
    >>"$rows" || true
  [ "$(wc -l <"$rows")" -gt "$before" ]
}

# Whether a benchmark binary knows an option: an older one would ignore it and run everything.
knows() { [ -x "$1" ] && grep -qaF -- "$2" "$1"; }

# One run as a whole process: "wall cpu" in seconds (cpu: user and system, children included).
timed() {
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >/dev/null 2>>"$log" || echo "failed: $*" >>"$log"
  # A program that failed gets a line about its exit status first.
  tail -n1 "$work/time" | awk '{ printf "%s %.3f\n", $1, $2 + $3 }'
}

median() { sort -g -k"$1" "$2" | awk -v k="$1" '{ a[NR] = $k } END { print a[int((NR + 1) / 2)] }'; }
spread() { sort -g -k1 "$2" | awk -v w="$1" '{ a[NR] = $1 } END { printf "%s wall min %s, max %s\n", w, a[1], a[NR] }'; }

# pair JOB RESET OURS... -- PEER...: RESET (a function) runs before every run.
pair() {
  local job=$1 reset=$2 ours=() peer=() i
  shift 2
  while [ "$1" != -- ]; do ours+=("$1"); shift; done
  shift
  peer=("$@")
  : >"$work/ours"
  : >"$work/peer"
  for i in $(seq "$rounds"); do
    if [ $((i % 2)) -eq 1 ]; then
      "$reset"; timed "${ours[@]}" >>"$work/ours"; "$reset"; timed "${peer[@]}" >>"$work/peer"
    else
      "$reset"; timed "${peer[@]}" >>"$work/peer"; "$reset"; timed "${ours[@]}" >>"$work/ours"
    fi
  done
  # The pairs' ratios, round by round: the spread of the ratio.
  ratios=$(paste -d' ' "$work/ours" "$work/peer" | awk '$3 > 0 && $4 > 0 {
      w = $1 / $3; c = $2 / $4
      if (NR == 1 || w < wl) wl = w; if (NR == 1 || w > wh) wh = w
      if (NR == 1 || c < cl) cl = c; if (NR == 1 || c > ch) ch = c
    } END { printf "%.3f\t%.3f\t%.3f\t%.3f", wl, wh, cl, ch }')
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$job" "$(median 1 "$work/ours")" "$(median 1 "$work/peer")" \
    "$(median 2 "$work/ours")" "$(median 2 "$work/peer")" "$ratios" >>"$rows"
  { echo "$job:"; spread "  ours" "$work/ours"; spread "  peer" "$work/peer"; } >>"$log"
}

# The copy of 20,000 files of 1 KB with unique names, timed here.
copy_unique() {
  local where=$1 label=$2 root f
  root=$where/korvane-bench.$$
  mkdir -p "$root/src"
  for f in $(seq 20); do
    mkdir -p "$root/src/$f"
    head -c $((1024 * 1000)) /dev/zero | split -b 1024 -d -a 4 --additional-suffix=.dat - "$root/src/$f/$f-"
  done
  reset_copy() { rm -rf "$root/ours" "$root/peer"; mkdir "$root/ours" "$root/peer"; }
  pair "copy 20,000 x 1 KB, unique names ($label)" reset_copy \
    "$bin/korvane-cli" files copy --type .dat "$root/src" "$root/ours" -- \
    find "$root/src" -name '*.dat' -exec cp -t "$root/peer" {} +
  rm -rf "$root"
}

# All rows, on every core (no suffix) or pinned to one (pin, suffix); copies on the test disk
# only in the first pass.
measure() {
  # Copies: the copy benchmark's rows, or the unique-name row timed here.
  for where in tmpfs:"$tmpfs" ${disks:+disk:"$disk"}; do
    label=${where%%:*} dir=${where#*:}
    if knows "$bin/bench_copy" --tab && collect 1 "$bin/bench_copy" --root "$dir" --pairs "$rounds" --tab "$label"; then
      continue
    fi
    copy_unique "$dir" "$label"
  done

  # Help files and recording: their benchmarks' rows (milliseconds).
  # The help file benchmark times its own rows on one core.
  if [ -n "$suffix" ]; then
    :
  elif ! { knows "$bin/bench_helpdecompiler" --rows &&
    collect 0.001 "$bin/bench_helpdecompiler" --rows --rounds "$rounds" --dir "$disk"; }; then
    putty=$(find ../shared/testdata -name putty.chm -print -quit 2>/dev/null || true)
    if [ -n "$putty" ] && command -v 7z >/dev/null; then
      out=$disk/korvane-bench.$$
      reset_chm() { rm -rf "$out"; mkdir -p "$out/ours" "$out/peer"; cp "$putty" "$out/ours/"; }
      pair "decompile putty.chm" reset_chm "$bin/korvane-cli" chm decompile "$out/ours/putty.chm" -- \
        7z x -y -o"$out/peer" "$putty"
      rm -rf "$out"
    else
      echo "no help file rows: bench_helpdecompiler printed none and putty.chm or 7z is missing" >>"$log"
    fi
  fi
  # Its options are UTF-16 in the binary, out of knows()'s sight: asked directly.
  collect 0.001 "$bin/bench_recorder" --rows --runs "$rounds" ||
    echo "no recorder rows: bench_recorder printed none" >>"$log"

  # The compile of 30,000 listed projects through a fake starter: no peer, a goal in seconds.
  if [ -x "$bin/bench_batchlist" ]; then
    echo "== bench_batchlist$suffix" >>"$log"
    "${pin[@]}" "$bin/bench_batchlist" 2>>"$log" | tee -a "$log" |
      sed -n 's/^run over 30000 entries (fake starter): median \([0-9.]*\) ms.*CPU median \([0-9.]*\) ms.*/\1 \2/p' |
      awk -v suffix="$suffix" '{ printf "compile 30,000 listed projects (fake starter)%s\t%.4f\t0\t%.4f\t0\n", suffix, $1 / 1000, $2 / 1000 }' \
        >>"$rows"
  fi
}

pin=() suffix='' disks=1
measure
if [ -n "$onecore" ] && command -v taskset >/dev/null; then
  pin=(taskset -c 0) suffix=' (taskset -c 0)' disks=
  measure
fi

# The goals, matched on the job's words: "wall" and "cpu" bound the ratios, "s" ours in seconds.
goal() {
  case "$1" in
    *taskset*) echo "no worse than today" ;;
    *unique*) echo "wall<=0.8" ;;
    *replac*) echo "wall<=1.0 cpu<=1.5" ;;
    *large* | *100\ MB*) echo "wall<=1.0" ;;
    *putty*) echo "wall<=0.8" ;;
    *help\ files* | *chm*) echo "wall<=0.6" ;;
    *record*) echo "wall<=0.40" ;;
    compile\ 30,000*) echo "s<=0.5" ;;
    *) echo "-" ;;
  esac
}

printf '%-52s %9s %9s %7s %-11s %7s %-11s  %-20s %s\n' job ours_s peer_s wall '(spread)' cpu '(spread)' goal met
while IFS=$'\t' read -r job ow pw oc pc wl wh cl ch; do
  g=$(goal "$job")
  awk -v job="$job" -v ow="$ow" -v pw="$pw" -v oc="$oc" -v pc="$pc" -v g="$g" \
    -v wl="$wl" -v wh="$wh" -v cl="$cl" -v ch="$ch" 'BEGIN {
    rw = pw > 0 ? ow / pw : 0; rc = pc > 0 ? oc / pc : 0; met = "-"
    n = split(g, parts, " ")
    for (i = 1; i <= n; i++) {
      if (split(parts[i], kv, "<=") != 2) continue
      v = kv[1] == "wall" ? rw : kv[1] == "cpu" ? rc : ow
      ok = (v <= kv[2] + 0); met = (met == "-" || met == "yes") && ok ? "yes" : "no"
    }
    ws = wl != "" ? sprintf("(%.2f–%.2f)", wl, wh) : "-"
    cs = cl != "" ? sprintf("(%.2f–%.2f)", cl, ch) : "-"
    printf "%-52s %9.3f %9.3f %7.2f %-11s %7.2f %-11s  %-20s %s\n", job, ow, pw, rw, ws, rc, cs, g, met
  }'
done <"$rows"
echo "spread and the benchmarks' own notes: $log"
[ "$log" != "$work/log" ] || cat "$log"
