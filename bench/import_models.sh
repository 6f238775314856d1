#!/usr/bin/env bash
# How rt-import does on real models: imports every model of Debian's
# assimp-testmodels corpus as a whole scene, renders each scene at 256x256,
# 16 rays, 2 threads, from the scene's folder, and prints one
# table by format (the corpus's folders):
#   imported  the import ended with status 0 (a time-out counts as hung)
#   refused   it ended with status 1 and a message
#   black     under 0.5 % of the picture lit (a pixel whose brightest
#             channel is 8 of 255 or more)
#   dim       not black, but a mean pixel value under 4 of 255
#   framed    the lit part spans at least a fifth of the picture's width or
#             height
#   textured  a material of the model names a colour or emission texture
#   shown     of those, the scene shows one: rt reads its picture without a
#             warning, and the render differs from that of the same scene
#             without its images (the mean colours alone)
#   max s     the longest import of the format, wall-clock seconds
#   max cpu   the most processor time (user and system) one import took
#   total s   all imports of the format together, wall-clock
# The pictures are rendered at rt's default gamma, as a user first sees them,
# or with -gamma G at G (2.2 is what the imported scenes suggest).
# The slowest imports and every model that hung are listed below the table.
#
#   bench/import_models.sh [-k] [-gamma G] [BUILD [MODEL...]]
#
# BUILD is the build folder holding rt and rt-import (build/ by default);
# MODELs, paths or names relative to the corpus, limit the run to them (to
# time the slowest again, alone). -k keeps the scenes and pictures and says
# where. The corpus is installed when missing (a bench-only dependency).
# Imports get 60 seconds and 8 GB of address space, renders 120 seconds.
# On a machine shared with other work the wall-clock seconds are noisy: time
# the slowest again, alone.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
keep=0
gamma=()
while [ $# -gt 0 ]; do
  case "$1" in
    -k) keep=1; shift ;;
    -gamma) gamma=(-gamma "$2"); shift 2 ;;
    *) break ;;
  esac
done
build=$(realpath "${1:-$here/build}")
shift || true
rt=$build/rt
import=$build/rt-import
corpus=/usr/share/assimp/models

if [ ! -d "$corpus" ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends assimp-testmodels || exit 1
fi
for program in "$rt" "$import"; do
  [ -x "$program" ] || { echo "no $program: build first" >&2; exit 1; }
done

work=$(mktemp -d)
if [ $keep -eq 0 ]; then
  trap 'rm -rf "$work"' EXIT
else
  echo "scenes and pictures kept in $work" >&2
fi

# The models: every file of the corpus but images, texts, glTF buffers,
# shaders, material libraries and 3ds Max's own scenes, which no reader
# takes. Files named for format detection, without an extension, count.
not_models='png|jpg|jpeg|tga|bmp|dds|gif|txt|md|bin|mtl|glsl|vert|frag|material|max'
if [ $# -gt 0 ]; then
  models=()
  for m in "$@"; do
    [ -f "$m" ] && models+=("$(realpath "$m")") || models+=("$corpus/$m")
  done
else
  mapfile -t models < <(cd "$corpus" && find . -type f | grep -v -i -E "\.($not_models)\$" |
    grep -v -E "/(README|LICENSE)\$" | sed "s|^\./|$corpus/|" | sort)
fi

# Brightness of a P6 picture: "lit-fraction mean-value framed(0/1)".
picture_stats() {
  python3 - "$1" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
# rt's header, "P6", the size and 255, each field followed by one blank:
# the pixels are the file's last bytes.
w, h = (int(f) for f in data.split(maxsplit=3)[1:3])
px = data[len(data) - 3 * w * h:]
lit = [i for i in range(w * h) if max(px[3 * i:3 * i + 3]) >= 8]
xs = [i % w for i in lit]
ys = [i // w for i in lit]
framed = bool(lit) and (max(xs) - min(xs) + 1 >= w / 5 or max(ys) - min(ys) + 1 >= h / 5)
print('%.5f %.3f %d' % (len(lit) / (w * h), sum(px) / len(px), framed))
PY
}

results=$work/results.tsv
: > "$results"
n=0
for model in "${models[@]}"; do
  n=$((n + 1))
  rel=${model#"$corpus"/}
  format=${rel%%/*}
  [ "$format" = "$rel" ] && format=other
  dir=$work/$n
  mkdir -p "$dir/scene"
  t0=$(date +%s.%N)
  (ulimit -v 8000000; /usr/bin/time -f '%U %S' -o "$dir/cpu" timeout 60 "$import" -scene "$model" "$dir/scene/s.scene") \
    > /dev/null 2> "$dir/import.err"
  status=$?
  t1=$(date +%s.%N)
  seconds=$(echo "$t1 - $t0" | bc)
  cpu=$(awk 'END { print $1 + $2 }' "$dir/cpu" 2>/dev/null)
  outcome=refused
  [ $status -eq 0 ] && outcome=imported
  [ $status -eq 124 ] && outcome=hung
  [ $status -gt 128 ] && [ $status -ne 124 ] && outcome=crashed
  stats="- - -"
  textured=0 shown=0
  grep -q -E '^rt-import: material ".*": (emission )?texture ' "$dir/import.err" && textured=1
  if [ $outcome = imported ]; then
    (cd "$dir/scene" && timeout 120 "$rt" -nosdl -size 256x256 -rays 16 -threads 2 "${gamma[@]}" -o ../p.ppm s.scene) \
      > /dev/null 2> "$dir/render.err"
    if [ -s "$dir/p.ppm" ]; then
      stats=$(picture_stats "$dir/p.ppm")
    else
      stats="0 0 0"
    fi
    if grep -q -E ' k[de]_map\(' "$dir/scene/s.scene" && ! grep -q 'failed to read texture file' "$dir/render.err"; then
      sed -E 's/ k[de]_map\([^ ]*\)//g' "$dir/scene/s.scene" > "$dir/scene/plain.scene"
      (cd "$dir/scene" && timeout 120 "$rt" -nosdl -size 256x256 -rays 16 -threads 2 "${gamma[@]}" -o ../plain.ppm \
        plain.scene) > /dev/null 2>&1
      [ -s "$dir/p.ppm" ] && [ -s "$dir/plain.ppm" ] && ! cmp -s "$dir/p.ppm" "$dir/plain.ppm" && shown=1
    fi
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s %s\n' "$format" "$rel" "$outcome" "$seconds" "${cpu:-0}" "$stats" "$textured" \
    "$shown" >> "$results"
  printf '\r%d of %d' "$n" "${#models[@]}" >&2
done
printf '\n' >&2

python3 - "$results" <<'PY'
import collections, sys
rows = [line.rstrip('\n').split('\t') for line in open(sys.argv[1])]
by = collections.OrderedDict()
for fmt, rel, outcome, secs, cpu, stats, tex in sorted(rows):
    by.setdefault(fmt, []).append((rel, outcome, float(secs), stats.split(), float(cpu), tex.split()))

def counts(items):
    c = collections.Counter()
    for rel, outcome, secs, st, cpu, tex in items:
        c[outcome] += 1
        if outcome == 'imported':
            lit, mean, framed = float(st[0]), float(st[1]), int(st[2])
            c['black'] += lit < 0.005
            c['dim'] += lit >= 0.005 and mean < 4.0
            c['framed'] += framed
        c['textured'] += int(tex[0])
        c['shown'] += int(tex[1])
    return c

head = '%-14s %6s %8s %7s %5s %5s %6s %8s %5s %7s %7s %8s'
print(head % ('format', 'models', 'imported', 'refused', 'black', 'dim', 'framed', 'textured', 'shown', 'max s',
              'max cpu', 'total s'))
every = []
for fmt, items in by.items():
    c = counts(items)
    every += items
    print(head % (fmt, len(items), c['imported'], c['refused'], c['black'], c['dim'], c['framed'], c['textured'],
                  c['shown'], '%.2f' % max(i[2] for i in items), '%.2f' % max(i[4] for i in items),
                  '%.1f' % sum(i[2] for i in items)))
c = counts(every)
print(head % ('all', len(every), c['imported'], c['refused'], c['black'], c['dim'], c['framed'], c['textured'],
              c['shown'], '%.2f' % max(i[2] for i in every), '%.2f' % max(i[4] for i in every),
              '%.1f' % sum(i[2] for i in every)))
if c['imported']:
    print('of the imported: %.1f %% black, %.1f %% dim, %.1f %% framed' %
          (100.0 * c['black'] / c['imported'], 100.0 * c['dim'] / c['imported'],
           100.0 * c['framed'] / c['imported']))
if c['textured']:
    print('of the %d textured models, %d show their texture' % (c['textured'], c['shown']))
for outcome in ('hung', 'crashed'):
    for rel, o, secs, st, cpu, tex in every:
        if o == outcome:
            print('%s: %s' % (outcome, rel))
print('textured, not shown:')
for rel, o, secs, st, cpu, tex in every:
    if tex == ['1', '0']:
        print('  %s (%s)' % (rel, o))
print('slowest imports:')
for rel, o, secs, st, cpu, tex in sorted(every, key=lambda i: -i[2])[:5]:
    print('  %6.2f s, %5.2f s cpu  %s (%s)' % (secs, cpu, rel, o))
PY
