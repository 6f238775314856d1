#!/usr/bin/env bash
# scripts/render-slurm against a real Slurm cluster of one node, which this
# test starts (scripts/slurm-cluster) and stops by the ids of its processes:
# four tasks of passes give the picture of one rt run byte for byte; a run
# again renders only the passes the state lacks; a failed task keeps the
# passes done in the state; a state of another frame is refused before
# anything is submitted; bands, through a symbolic link; while tasks run, the
# state is held (rt and a second run are refused, naming the holder), and a
# signal cancels them and keeps the passes done; a run without -wait merges
# by a job of its own. Every name is hostile. Nothing is left running or
# lying about, also when the test is killed: the cluster stops when its
# owner, this test, has gone, job steps and all.
#
#   tests/slurm_test.sh RT
#
# Skipped (status 77) when Slurm is not installed or its cluster does not
# start here (scripts/slurm-cluster install installs it).
set -euo pipefail
rt=$1
src=$(cd "$(dirname "$0")/.." && pwd)
golden=$src/tests/golden

skip() {
  echo "slurm test skipped: $*"
  exit 77
}
for tool in munged slurmctld slurmd sbatch squeue scancel; do
  command -v "$tool" > /dev/null || skip "$tool is not installed (scripts/slurm-cluster install)"
done

top=$(mktemp -d "${TMPDIR:-/tmp}/rt-slurm-test.XXXXXX")
cluster=$top/cluster
trap '"$src/scripts/slurm-cluster" stop "$cluster"; rm -rf "$top"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP
"$src/scripts/slurm-cluster" start "$cluster" $$ > /dev/null 2> "$top/start.err" ||
  skip "the cluster did not start: $(tail -n 3 "$top/start.err")"
export SLURM_CONF=$cluster/slurm.conf

failures=0
check() { # WHAT GOT WANTED
  if [ "$2" != "$3" ]; then
    printf 'FAIL: %s\n--- got:\n%s\n--- wanted:\n%s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

folder="$top/shared {1}"
mkdir "$folder"
cd "$folder"
cp "$golden"/*.mesh .
scene=$'-n {=1=}\n\'q".scene'
cp "$golden/every_kind.scene" "./$scene"
cat > fake << EOF
#!/bin/sh
for a; do [ "\$a" != "\$AT" ] || case \$DO in
  fail) n=0; while [ ! -s "\$AFTER" ] && [ \$n -lt 600 ]; do sleep 0.1; n=\$((n + 1)); done
    echo "no passes \$a here" >&2; exit 3 ;;
  slow) sleep "\${SLOW:-60}" ;;
esac; done
exec '$rt' "\$@"
EOF
chmod +x fake
opts=(-size 40x30 -rays 16 -gamma 2.2 "$scene")

# Runs render-slurm: sets out (job ids and times as N and #:##), err, status.
run() {
  status=0
  "$src/scripts/render-slurm" "$@" > "$top/out" 2> "$top/err" || status=$?
  out=$(sed -E 's/job array [0-9]+/job array N/; s/merge job [0-9]+/merge job N/; s/[0-9]+:[0-9]{2} left/#:## left/' \
    "$top/out")
  err=$(cat "$top/err")
}
# Whether the file holds the picture of one run of rt with the options given.
is_picture() { # FILE RT-OPTIONS...
  local file=$1
  shift
  "$rt" -nosdl -threads 1 -o "$top/want.ppm" "$@" "${opts[@]}" > /dev/null
  cmp -s "$file" "$top/want.ppm" && echo yes || echo no
}
jobs_running() { squeue -h -t PENDING,RUNNING,COMPLETING,CONFIGURING,SUSPENDED -o %i; }
# The passes the state holds and lacks, as rt plans them.
state_plan() { # PASSES
  "$rt" -nosdl -threads 1 -plan -passes "$1" -state 's t.state' -o "$top/x.ppm" "${opts[@]}" | grep "^passes" | tr '\n' /
}

run -passes 4 -state 's t.state' -o 'p a.ppm' -wait "${opts[@]}"
check "four tasks" "$out/$err/$status" "job array N: 4 tasks (passes 0:4)
pass 1 of 4 done, #:## left
pass 2 of 4 done, #:## left
pass 3 of 4 done, #:## left
pass 4 of 4 done, #:## left
passes merged: 4//0"
check "four tasks' picture" "$(is_picture 'p a.ppm' -passes 4)" yes

run -passes 6 -per-task 2 -state 's t.state' -o 'p a.ppm' -wait "${opts[@]}"
check "the passes the state lacks" "$out/$err/$status" "job array N: 1 task (passes 4:6)
pass 6 of 6 done, #:## left
passes merged: 6//0"
check "six passes' picture" "$(is_picture 'p a.ppm' -passes 6)" yes

# Task 1 fails once task 0 has saved its pass: the state keeps that one.
export AT=7:8 DO=fail AFTER='.s t.state.passes/passes-6-7.state'
run -rt ./fake -passes 8 -state 's t.state' -o 'p a.ppm' -wait "${opts[@]}"
check "a failed task" "${out%%$'\n'*}/$err/$status" "job array N: 2 tasks (passes 6:8)/render-slurm: task 1 \
(passes 7:8) ended FAILED: no passes 7:8 here
render-slurm: s t.state keeps the passes done, 7 in all/1"
check "the state after a failed task" "$(state_plan 8)" "passes held: 7/passes to render: 7:8/"

run -passes 8 -state 's t.state' -o x.ppm "${opts[@]}" -size 40x31
check "a state of another frame" "$out/$err/$status/$(jobs_running)/$(ls x.ppm 2>&1)" \
  "/cannot continue from state file s t.state: saved for a 40x30 frame/1//ls: cannot access 'x.ppm': \
No such file or directory"

mkdir pictures
printf 'old' > 'pictures/b a.ppm'
chmod 600 'pictures/b a.ppm'
ln -s 'pictures/b a.ppm' 'b a.ppm'
run -bands 3 -o 'b a.ppm' -wait "${opts[@]}"
check "bands" "$out/$err/$status" "job array N: 3 tasks (3 bands)
band 1 of 3 done, #:## left
band 2 of 3 done, #:## left
band 3 of 3 done, #:## left//0"
check "bands' picture, through the link" "$(is_picture 'b a.ppm')/$(stat -c %A 'b a.ppm' 'pictures/b a.ppm')" \
  "yes/lrwxrwxrwx
-rw-------"

# While the tasks run, the state is held: rt is refused, and a second run,
# naming the holder. Then a signal: the tasks go, the pass done is merged
# and its picture written.
export AT=8:9 DO=slow
"$src/scripts/render-slurm" -rt ./fake -passes 9 -state 's t.state' -o 'p a.ppm' -wait "${opts[@]}" \
  > "$top/waiting.out" 2> "$top/waiting.err" &
waiting=$!
for ((t = 0; t < 600; t++)); do
  grep -q 'pass 8 of 9' "$top/waiting.out" && break
  sleep 0.1
done
holder=$(grep -l -s -z -x -F 'render-slurm: holds s t.state' /proc/[0-9]*/cmdline || true)
holder=${holder#/proc/}
holder="in use by process ${holder%/cmdline}"
refused=$("$rt" -nosdl -threads 1 -passes 9 -state 's t.state' -o x.ppm "${opts[@]}" 2>&1 > /dev/null || true)
check "rt on a state held" "$refused" "cannot use state file s t.state: $holder"
run -passes 9 -state 's t.state' -o x.ppm "${opts[@]}"
check "a second run on a state held" "$out/$err/$status" "/cannot use state file s t.state: $holder/1"
kill -TERM "$waiting"
status=0
wait "$waiting" || status=$?
check "a signal" "$status/$(cat "$top/waiting.err")/$(jobs_running)" "143//"
check "the state after a signal" "$(state_plan 9)" "passes held: 8/passes to render: 8:9/"
check "the picture after a signal" "$(is_picture 'p a.ppm' -passes 8)" yes

# Without -wait, a job merges; meanwhile another run is refused, naming the
# jobs.
export AT=9:10 DO=slow SLOW=3
run -rt ./fake -passes 10 -per-task 1 -state 's t.state' -o 'p a.ppm' "${opts[@]}"
check "without -wait" "$out/$err/$status" "job array N: 2 tasks (passes 8:10); merge job N//0"
jobs=$(squeue -h -o %F | sort -u | paste -s -d ' ')
run -passes 10 -state 's t.state' -o x.ppm "${opts[@]}"
check "a second run while the jobs run" "$out/$err/$status" \
  "/render-slurm: cannot use state file s t.state: Slurm jobs $jobs of render-slurm render into it/1"
for ((t = 0; t < 1200; t++)); do
  [ -n "$(jobs_running)" ] || break
  sleep 0.1
done
check "the state after the merge job" "$(state_plan 10)" "passes held: 10/passes to render: none/"
check "the picture of the merge job" "$(is_picture 'p a.ppm' -passes 10)" yes

check "work folders left" "$(ls -d .[!.]* 2> /dev/null || true)" ""

# The cluster stops once its owner has gone, job steps and all: a second
# watch, of a stand-in owner, and a job that would run for long.
unset SLURM_CONF
sleep 600 &
owner=$!
"$src/scripts/slurm-cluster" watch "$cluster" "$owner"
long=$(printf '%q ' "$rt" -nosdl -threads 1 -passes 100000 -o /dev/null -size 400x300 "$golden/every_kind.scene")
SLURM_CONF=$cluster/slurm.conf sbatch --output=/dev/null --wrap "exec $long" > /dev/null
for ((t = 0; t < 600; t++)); do
  [ -z "$(SLURM_CONF=$cluster/slurm.conf squeue -h -t RUNNING -o %i)" ] || break
  sleep 0.1
done
kill "$owner"
for ((t = 0; t < 600; t++)); do
  left=$(grep -l -s -F "SLURM_CONF=$cluster/" /proc/[0-9]*/environ || true)
  [ -n "$left" ] || break
  sleep 0.1
done
check "processes left once the owner has gone" "$left" ""

if [ $failures -gt 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "render-slurm on a cluster of one node: all passed"
