#!/usr/bin/env bash
# Times the demo scene in the classic mode and in the parallel mode on one
# and two threads, best of a few runs each, and prints the ratios.
#   bench/threads.sh [RT] [RUNS] [RT OPTIONS...]
# RT defaults to build/rt, RUNS to 3, the options to -size 512x512 -rays 16.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rt=${1:-$here/build/rt}
rt=$(cd "$(dirname "$rt")" && pwd)/$(basename "$rt")
runs=${2:-3}
shift $(( $# < 2 ? $# : 2 ))
opts=("$@")
[ ${#opts[@]} -gt 0 ] || opts=(-size 512x512 -rays 16)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Best wall time in seconds of `rt -nosdl OPTIONS demo.scene` over the runs.
best() {
  local best="" t TIMEFORMAT=%R
  for ((i = 0; i < runs; i++)); do
    t=$({ time (cd "$here/scenes" && "$rt" -nosdl -o "$out/pic.ppm" "$@" "${opts[@]}" demo.scene >/dev/null 2>&1); } 2>&1)
    best=$(echo "$t $best" | awk '{ if ($2 == "" || $1 < $2) print $1; else print $2 }')
  done
  echo "$best"
}

classic=$(best)
one=$(best -threads 1)
two=$(best -threads 2)
printf 'demo scene, %s, best of %d\n' "${opts[*]}" "$runs"
printf '  classic mode      %7.2f s\n' "$classic"
printf '  -threads 1        %7.2f s   (%.2f x the classic time)\n' "$one" "$(echo "$one $classic" | awk '{print $1 / $2}')"
printf '  -threads 2        %7.2f s   (speed-up over -threads 1: %.2f x)\n' "$two" "$(echo "$one $two" | awk '{print $1 / $2}')"
