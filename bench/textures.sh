#!/usr/bin/env bash
# What a texture costs a render: a textured model imported from Debian's
# assimp-testmodels (the duck by default) against the same scene without its
# images (the mean colours alone), in the classic mode.
#   instructions per sample  valgrind's callgrind, at 4 and at 16 rays a
#                            pixel: the difference over the 12 samples more of
#                            every pixel, so that the set-up (reading the mesh,
#                            decoding the image) drops out; the same count on
#                            any machine load
#   processor time           user + system of whole renders at 16 rays,
#                            textured and plain in turn, RUNS of each: median
#   peak RSS                 /usr/bin/time's maximum resident set, KiB
#
#   bench/textures.sh [-runs N] [BUILD [MODEL]]
#
# BUILD holds rt and rt-import (build/ by default); MODEL is a path or a name
# relative to the corpus (Collada/duck.dae by default; try
# glTF/CesiumMilkTruck/CesiumMilkTruck.gltf).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
runs=5
if [ "${1:-}" = -runs ]; then
  runs=$2
  shift 2
fi
build=$(realpath "${1:-$here/build}")
corpus=/usr/share/assimp/models
model=${2:-Collada/duck.dae}
[ -f "$model" ] || model=$corpus/$model
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/rt-import" -scene "$model" "$work/t.scene" 2> "$work/import.err" ||
  { cat "$work/import.err" >&2; exit 1; }
grep -q -E ' k[de]_map\(' "$work/t.scene" || { echo "the scene of $model names no texture" >&2; exit 1; }
sed -E 's/ k[de]_map\([^ ]*\)//g' "$work/t.scene" > "$work/p.scene"
cd "$work"
size=(-size 64x64)

# Instructions of one classic render at the given rays.
instructions() { # SCENE RAYS
  valgrind --tool=callgrind --callgrind-out-file=cg.out "$build/rt" -nosdl "${size[@]}" -rays "$2" -o x.ppm "$1" \
    > /dev/null 2> cg.err
  sed -n 's/^summary: //p' cg.out
}

# Processor seconds of one render, and its peak memory in KiB.
measure() { # SCENE
  /usr/bin/time -f '%U %S %M' -o m.txt "$build/rt" -nosdl -size 256x256 -rays 16 -o y.ppm "$1" > /dev/null 2>&1
  awk '{ printf "%.2f %d\n", $1 + $2, $3 }' m.txt
}

printf 'model: %s, %s\n' "${model#"$corpus"/}" "$(grep -o 'its mean colour.*' import.err | head -n 1)"
for s in t p; do
  i4=$(instructions $s.scene 4)
  i16=$(instructions $s.scene 16)
  per=$(echo "($i16 - $i4) / (12 * 64 * 64)" | bc)
  eval "per_$s=$per"
  printf '%s: %s instructions at 4 rays, %s at 16: %s a sample\n' \
    "$([ $s = t ] && echo textured || echo plain)" "$i4" "$i16" "$per"
done
echo "textured / plain, per sample: $(echo "scale=3; $per_t / $per_p" | bc)"

: > times_t; : > times_p
for ((r = 0; r < runs; r++)); do
  for s in t p; do
    measure $s.scene >> times_$s
  done
done
for s in t p; do
  printf '%s, 256x256 at 16 rays, %d runs: median %s s processor time, peak RSS %s KiB\n' \
    "$([ $s = t ] && echo textured || echo plain)" "$runs" \
    "$(sort -n times_$s | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')" \
    "$(sort -n -k2 times_$s | tail -n 1 | cut -d' ' -f2)"
done
