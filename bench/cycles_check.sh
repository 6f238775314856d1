#!/bin/bash
# Whether Cycles, given rt's scene by bench/cycles_scene.py, lights and frames
# it as rt does: a floor lit by one point light, seen by a camera tilted down
# (rt's view narrows by the cosine of the tilt), 32x32, 256 samples in both.
# Prints the linear value of five pixels (the centre and near the corners) in
# rt and in Cycles; fails when any differs by more than 1 %.
#   bench/cycles_check.sh RT
set -e
rt=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/rt-cycles-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
printf '%s\n' 'c p(0 3 -5) t(0 0 0) fov(40)' 'l p(0 5 0) c(0.5 0.5 0.5)' \
    'p n(0 1 0) d(0) kd(0.6 0.6 0.6) ks(0 0 0) s(1) kr(0) ke(0 0 0)' > floor.scene
"$rt" -nosdl -threads 2 -size 32x32 -rays 256 -o rt.pfm floor.scene > /dev/null
blender -b --factory-startup -P "$here"/cycles_scene.py -- floor.scene 256 32x32 cycles.pfm > /dev/null 2>&1
echo "a floor under one light: the linear value in rt and in Cycles"
python3 "$here"/pfm_error.py -pixels rt.pfm cycles.pfm 16,16 1,1 30,1 1,30 30,30 | tee report
awk '/largest difference/ { exit ($3 > 1.0) }' report
