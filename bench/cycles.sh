#!/bin/bash
# rt against Blender's Cycles, the renderer a user would reach for instead:
#   bench/cycles.sh RT [ROUNDS] [SIZE]
# Renders the demo scene and the 1M-triangle bumpy sphere (written by
# bench/make_scale_scenes.py into a scratch folder) with rt (-threads 2) and
# with Cycles (bench/cycles_scene.py builds the same scene: two threads, no
# denoising or adaptive sampling, four bounces), each at 1 and at 16 samples
# a pixel, in alternating rounds (default 3, SIZE default 512x512). The time
# per sample is (T16 - T1) / 15 of whole runs, which leaves out loading and
# building; printed are the median and range over the rounds, and the ratio
# of the medians, of the wall time and of the processor time (the second
# swings less on a busy machine). Blender is needed only here: installed if
# missing. First bench/cycles_check.sh checks that Cycles lights and frames
# the scenes as rt does.
set -e
rt=$(realpath "$1")
rounds=${2:-3}
size=${3:-512x512}
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v blender > /dev/null; then
    apt-get install -y blender > /dev/null
fi
"$here"/cycles_check.sh "$rt"
work=$(mktemp -d "${TMPDIR:-/tmp}/rt-cycles.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$here"/../scenes/*.scene "$here"/../scenes/*.mesh "$work"/
python3 "$here"/make_scale_scenes.py "$work" 1000000 > /dev/null
cd "$work"

# The wall time and the processor time (user and system) of a command, in
# seconds. On a machine busy with other work the wall time swings with the
# load; the processor time much less.
times() {
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" > /dev/null 2>&1
    awk '{ printf "%s %s\n", $1, $2 + $3 }' "$work/time"
}
rt_run() { times "$rt" -nosdl -threads 2 -rays "$2" -size "$size" -o rt.ppm "$1"; }
cycles_run() { times blender -b --factory-startup -P "$here"/cycles_scene.py -- "$1" "$2" "$size" "$work"/c.png; }

declare -A wall cpu
for round in $(seq "$rounds"); do
    for scene in demo.scene bumpy-1000000.scene; do
        for who in rt cycles; do
            read -r w1 c1 <<< "$(${who}_run "$scene" 1)"
            read -r w16 c16 <<< "$(${who}_run "$scene" 16)"
            wall[$who.$scene]+="$(echo "($w16 - $w1) / 15" | bc -l) "
            cpu[$who.$scene]+="$(echo "($c16 - $c1) / 15" | bc -l) "
        done
    done
done

stats() { # median, least, most of the numbers
    tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
        printf "%.4f %.4f %.4f\n", m, v[1], v[NR] }'
}
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); $rounds rounds, $size"
printf '| scene | time | rt s/sample (range) | Cycles s/sample (range) | Cycles / rt |\n|---|---|---:|---:|---:|\n'
for scene in demo.scene bumpy-1000000.scene; do
    for kind in wall cpu; do
        declare -n t=$kind
        read -r rm rl rh <<< "$(echo "${t[rt.$scene]}" | stats)"
        read -r cm cl ch <<< "$(echo "${t[cycles.$scene]}" | stats)"
        printf '| %s | %s | %.4f (%.4f-%.4f) | %.4f (%.4f-%.4f) | %.2f |\n' "$scene" "$kind" "$rm" "$rl" "$rh" \
            "$cm" "$cl" "$ch" "$(echo "$cm / $rm" | bc -l)"
    done
done
cat <<'TEXT'
What a sample is. rt: one path from the pixel (a jittered position), at each hit a shadow ray to every
light (each point light and each emissive object) and one continuation ray, diffuse or glossy in
proportion to the material's means and kept with the probability of its lobe, to a depth of five.
Cycles: one path (a filtered position), at each hit one light chosen and sampled with a shadow ray
(multiple importance sampling with the BSDF's ray for emissive surfaces) and one BSDF ray, up to four
bounces, with Russian roulette after the first few.
TEXT
