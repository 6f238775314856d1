#!/usr/bin/env bash
# Times the demo scene in the classic mode and in the parallel mode on one
# and two threads, best of a few runs each, and prints the ratios.
#   bench/threads.sh [RT] [RUNS] [RT OPTIONS...]
# RT defaults to build/rt, RUNS to 3, the options to -size 512x512 -rays 16.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rt=$(realpath "${1:-$here/build/rt}")
runs=${2:-3}
shift $(( $# < 2 ? $# : 2 ))
opts=("$@")
[ ${#opts[@]} -gt 0 ] || opts=(-size 512x512 -rays 16)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Best wall time in seconds of `rt -nosdl OPTIONS demo.scene` over the runs.
best() {
  local best=""
  for ((i = 0; i < runs; i++)); do
    local t0 t1
    t0=$(date +%s.%N)
    (cd "$here/scenes" && "$rt" -nosdl -o "$out/pic.ppm" "$@" "${opts[@]}" demo.scene >/dev/null)
    t1=$(date +%s.%N)
    best=$(echo "$t0 $t1 $best" | awk '{ t = $2 - $1; if ($3 == "" || t < $3) print t; else print $3 }')
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
