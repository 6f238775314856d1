#!/usr/bin/env bash
# How the parallel mode's passes converge, and what a pass costs: the demo
# scene at 512x512, 4 rays a pass; the RMS difference (8-bit values) of the
# mean of 1, 4 and 16 passes against a reference of 64 passes, and the time
# of a pass on one and two threads.
#   bench/passes.sh [RT]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rt=$(realpath "${1:-$here/build/rt}")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cd "$here/scenes"
opts=(-nosdl -size 512x512 -rays 4)

seconds() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" > /dev/null
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}

# The RMS difference of two P6 files of the same size.
rms() {
  python3 - "$1" "$2" <<'PY'
import math, sys
def pixels(path):
    data = open(path, 'rb').read()
    # header: P6, width, height, 255, each followed by one whitespace byte
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    return data[at + 1:]
a, b = pixels(sys.argv[1]), pixels(sys.argv[2])
print('%.2f' % math.sqrt(sum((x - y) ** 2 for x, y in zip(a, b)) / len(a)))
PY
}

"$rt" "${opts[@]}" -threads 2 -passes 64 -o "$out/ref.ppm" demo.scene > /dev/null
for p in 1 4 16; do
  "$rt" "${opts[@]}" -threads 2 -passes "$p" -o "$out/p$p.ppm" demo.scene > /dev/null
  echo "passes $p: RMS $(rms "$out/p$p.ppm" "$out/ref.ppm") against 64 passes"
done
for t in 1 2; do
  s=$(seconds "$rt" "${opts[@]}" -threads "$t" -passes 4 -o "$out/t.ppm" demo.scene)
  echo "threads $t: $(echo "scale=3; $s / 4" | bc) s a pass"
done
