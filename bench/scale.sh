#!/bin/bash
# Peak memory and time of whole renders at scale, of the real binary:
#   bench/scale.sh RT DIR [RT_BEFORE]
# DIR holds the scenes of bench/make_scale_scenes.py. Each bumpy-N scene is
# rendered with -threads 2 -rays 1 -size 256x256, the million spheres at
# 128x128; with RT_BEFORE the same runs of another build follow each.
set -e
rt=$(realpath "$1")
dir=$2
before=${3:+$(realpath "$3")}
cd "$dir"
printf '| scene | binary | seconds | peak RSS (KB) | bytes per item |\n|---|---|---:|---:|---:|\n'
for scene in bumpy-10000 bumpy-100000 bumpy-1000000 bumpy-4000000 spheres-1000000; do
    [ -f "$scene.scene" ] || continue
    size=256x256
    [ "$scene" = spheres-1000000 ] && size=128x128
    items=${scene#*-}
    for bin in "$rt" $before; do
        out=$( { /usr/bin/time -f '%e %M' "$bin" -nosdl -threads 2 -rays 1 -size $size -o /dev/null \
                 "$scene.scene" > /dev/null; } 2>&1 | tail -1)
        set -- $out
        printf '| %s | %s | %s | %s | %.0f |\n' "$scene" "$(basename "$(dirname "$bin")")/$(basename "$bin")" \
            "$1" "$2" "$(echo "$2 * 1024 / $items" | bc -l)"
    done
done
