#!/bin/bash
# The error against a converged reference at equal processor time: rt's two
# samplers (-sampler hash and sobol, plain and with -noise) and Blender's
# Cycles (plain and adaptive), on the demo scene, the COLLADA duck of
# assimp's test models (imported by rt-import) and bench/glossy.scene.
#   bench/quality.sh RT [ROUNDS] [SIZE]
# For each renderer and scene: the relative RMS error (bench/pfm_error.py:
# over every pixel and channel of the linear colours) at 1 to 1024 samples
# a pixel, the slope of log error against log samples from 1 to 256, and the
# processor time (user and system, of the whole command, the median of
# ROUNDS rounds, default 2) to 5, 2 and 1 %, interpolated between the
# measured counts in log-log; "-" where the counts measured do not reach it.
# Each renderer is measured against its own reference: rt's from the hash
# streams at 16384 samples (-rays 64 -passes 256, independent of the
# sobol sampler's draws; the hash runs measured use pass 1000 on), Cycles'
# at 4096. The errors printed are corrected for the reference's own, which
# is taken as the renderer's error at 256 samples over the root of the
# ratio of samples (sqrt(e^2 - e_ref^2)).
# rt at SIZE (default 256x256) on two threads; Cycles on two threads, with
# its sample clamp at 1 as rt caps every path at 1 (bench/cycles_scene.py,
# whose lights and view bench/cycles_check.sh checks first). References are
# kept in $QUALITY_CACHE (default ~/.cache/rt-quality) for later runs.
set -e
rt=$(realpath "$1")
rounds=${2:-2}
size=${3:-256x256}
here=$(cd "$(dirname "$0")" && pwd)
importer=$(dirname "$rt")/rt-import
duck_model=/usr/share/assimp/models/Collada/duck.dae
cache=${QUALITY_CACHE:-$HOME/.cache/rt-quality}
command -v blender > /dev/null || apt-get install -y blender > /dev/null
[ -f "$duck_model" ] || apt-get install -y assimp-testmodels > /dev/null
mkdir -p "$cache"
work=$(mktemp -d "${TMPDIR:-/tmp}/rt-quality.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$here"/cycles_check.sh "$rt"

mkdir "$work/demo" "$work/duck" "$work/glossy"
cp "$here"/../scenes/demo.scene "$here"/../scenes/*.mesh "$work/demo/"
cp "$here"/glossy.scene "$work/glossy/"
(cd "$work/duck" && "$importer" -scene "$duck_model" duck.scene 2> /dev/null)

# The processor time of a command, in seconds.
cpu() {
    /usr/bin/time -f '%U %S' -o "$work/time" "$@" > /dev/null 2>&1
    awk '{ print $1 + $2 }' "$work/time"
}
# rt with options, in a scene's folder, the picture a float map.
rt_run() { # SCENE OUT RT-OPTIONS...
    local scene=$1 out=$2
    shift 2
    (cd "$work/$scene" && cpu "$rt" -nosdl -threads 2 -size "$size" -o "$out" "$@" "$scene.scene")
}
cycles_run() { # SCENE OUT SAMPLES [NOISE]
    (cd "$work/$1" && cpu blender -b --factory-startup -P "$here"/cycles_scene.py -- "$1.scene" "$3" "$size" \
        "$2" "${4:-0}" 1)
}

# The references, made once: named by the scene's contents and the size.
reference() { # SCENE RENDERER
    local key
    key=$(cat "$work/$1/$1.scene" "$work/$1"/*.mesh 2> /dev/null | cksum | cut -d' ' -f1)
    local ref="$cache/$1-$2-$size-$key.pfm"
    if [ ! -f "$ref" ]; then
        if [ "$2" = rt ]; then
            rt_run "$1" "$ref.tmp.pfm" -sampler hash -rays 64 -passes 256 -state "$cache/$1-$size-$key.state" \
                > /dev/null
        else
            cycles_run "$1" "$ref.tmp.pfm" 4096 > /dev/null
        fi
        mv "$ref.tmp.pfm" "$ref"
    fi
    echo "$ref"
}

counts=(1 4 16 64 256 1024)
targets=(0.05 0.02 0.01)
results=$work/results
: > "$results"
for scene in demo glossy duck; do
    rt_ref=$(reference "$scene" rt)
    cycles_ref=$(reference "$scene" cycles)
    for round in $(seq "$rounds"); do
        for n in "${counts[@]}"; do
            out=$work/$scene-hash-$n.pfm
            echo "$scene rt-hash $n $(rt_run "$scene" "$out" -sampler hash -rays "$n" -passes 1000:1001) $out $rt_ref" \
                >> "$results"
            out=$work/$scene-sobol-$n.pfm
            echo "$scene rt-sobol $n $(rt_run "$scene" "$out" -rays "$n") $out $rt_ref" >> "$results"
            out=$work/$scene-cycles-$n.pfm
            echo "$scene cycles $n $(cycles_run "$scene" "$out" "$n") $out $cycles_ref" >> "$results"
        done
        for t in "${targets[@]}"; do
            out=$work/$scene-noise-$t.pfm
            echo "$scene rt-sobol-noise $t $(rt_run "$scene" "$out" -rays 4 -noise "$t") $out $rt_ref" >> "$results"
            out=$work/$scene-cycles-adaptive-$t.pfm
            echo "$scene cycles-adaptive $t $(cycles_run "$scene" "$out" 4096 "$t") $out $cycles_ref" >> "$results"
        done
    done
done

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); $rounds rounds, $size"
python3 - "$results" "$here" <<'PY'
import math, statistics, sys
sys.path.insert(0, sys.argv[2])
import pfm_error

counts = ("1", "4", "16", "64", "256", "1024")
times, files = {}, {}
for line in open(sys.argv[1]):
    scene, who, n, t, out, ref = line.split()
    times.setdefault((scene, who, n), []).append(float(t))
    files[(scene, who, n)] = (out, ref)
pictures = {}
def picture(path):
    if path not in pictures:
        pictures[path] = pfm_error.read_pfm(path)[2]
    return pictures[path]
def error(scene, who, n):
    out, ref = files[(scene, who, n)]
    return pfm_error.relative_error(picture(ref), picture(out))
def to_reach(points, goal):
    points = [(max(t, 1e-3), max(e, 1e-9)) for t, e in points]
    if points[0][1] <= goal:
        return "%.2f" % points[0][0]
    for (t0, e0), (t1, e1) in zip(points, points[1:]):
        if e1 <= goal < e0:
            f = (math.log(goal) - math.log(e0)) / (math.log(e1) - math.log(e0))
            return "%.2f" % math.exp(math.log(t0) + f * (math.log(t1) - math.log(t0)))
    return "-"
for scene in ("demo", "glossy", "duck"):
    print("\n%s: relative error (processor time, s)\n" % scene)
    print("| renderer | " + " | ".join(counts) + " | slope 1-256 | to 5 % | to 2 % | to 1 % |")
    print("|---|" + "---:|" * (len(counts) + 4))
    # A reference's own error: its renderer's at 256 samples, over the root
    # of the ratio of samples (rt's reference is the hash streams').
    reference = {"rt": error(scene, "rt-hash", "256") / math.sqrt(16384 / 256.0),
                 "cycles": error(scene, "cycles", "256") / math.sqrt(4096 / 256.0)}
    def fixed(e, who):
        return math.sqrt(max(e * e - reference["cycles" if who.startswith("cycles") else "rt"] ** 2, 0.0))
    for who in ("rt-hash", "rt-sobol", "cycles"):
        e = {n: fixed(error(scene, who, n), who) for n in counts}
        t = {n: statistics.median(times[(scene, who, n)]) for n in counts}
        points = [(t[n], e[n]) for n in counts]
        slope = math.log(e["1"] / e["256"]) / math.log(256.0)
        print("| %s | %s | %.2f | %s |" % (who, " | ".join("%.4f (%.2f)" % (e[n], t[n]) for n in counts), slope,
                                        " | ".join(to_reach(points, g) for g in (0.05, 0.02, 0.01))))
    print()
    for who in ("rt-sobol-noise", "cycles-adaptive"):
        for target in ("0.05", "0.02", "0.01"):
            print("%s %s: error %.4f, %.2f s" % (who, target, fixed(error(scene, who, target), who),
                                                statistics.median(times[(scene, who, target)])))
PY
