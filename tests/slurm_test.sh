#!/usr/bin/env bash
# scripts/render-slurm against a real Slurm cluster of one node, which this
# test starts (scripts/slurm-cluster) and stops by the ids of its processes:
# four tasks of passes give the picture of one rt run byte for byte; a run
# again renders only the passes the state lacks; a failed task leaves the
# state as it was and the merge job unrun; a state of another frame is
# refused before anything is submitted; bands, through a symbolic link; a
# signal cancels the jobs.
# Every name is hostile. Nothing is left running or lying about, also when
# the test is killed: the cluster stops when its owner, this test, has gone,
# job steps and all.
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
  fail) echo "no passes \$a here" >&2; exit 3 ;;
  slow) sleep 60 ;;
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

run -passes 4 -state 's t.state' -o 'p a.ppm' -wait "${opts[@]}"
check "four tasks" "$out/$err/$status" "job array N: 4 tasks (passes 0:4); merge job N
pass 1 of 4 done, #:## left
pass 2 of 4 done, #:## left
pass 3 of 4 done, #:## left
pass 4 of 4 done, #:## left
passes merged: 4//0"
check "four tasks' picture" "$(is_picture 'p a.ppm' -passes 4)" yes

run -passes 6 -per-task 2 -state 's t.state' -o 'p a.ppm' -wait "${opts[@]}"
check "the passes the state lacks" "$out/$err/$status" "job array N: 1 task (passes 4:6); merge job N
pass 6 of 6 done, #:## left
passes merged: 6//0"
check "six passes' picture" "$(is_picture 'p a.ppm' -passes 6)" yes

cp 's t.state' kept.state
export AT=6:8 DO=fail
run -rt ./fake -passes 8 -per-task 2 -state 's t.state' -o 'p a.ppm' -wait "${opts[@]}"
check "a failed task" "$out/$err/$status" "job array N: 1 task (passes 6:8); merge job N/render-slurm: task 0 \
(passes 6:8) ended FAILED: no passes 6:8 here
render-slurm: the merge job does not run; s t.state is as it was/1"
check "the state after a failed task" "$(cmp -s 's t.state' kept.state && echo kept)" kept

run -passes 8 -state 's t.state' -o x.ppm "${opts[@]}" -size 40x31
check "a state of another frame" "$out/$err/$status/$(jobs_running)/$(ls x.ppm 2>&1)" \
  "/cannot continue from state file s t.state: saved for a 40x30 frame/1//ls: cannot access 'x.ppm': \
No such file or directory"

mkdir pictures
printf 'old' > 'pictures/b a.ppm'
chmod 600 'pictures/b a.ppm'
ln -s 'pictures/b a.ppm' 'b a.ppm'
run -bands 3 -o 'b a.ppm' -wait "${opts[@]}"
check "bands" "$out/$err/$status" "job array N: 3 tasks (3 bands); merge job N
band 1 of 3 done, #:## left
band 2 of 3 done, #:## left
band 3 of 3 done, #:## left//0"
check "bands' picture, through the link" "$(is_picture 'b a.ppm')/$(stat -c %A 'b a.ppm' 'pictures/b a.ppm')" \
  "yes/lrwxrwxrwx
-rw-------"

# A signal while the tasks run: the jobs are cancelled, the state stays.
export AT=6:7 DO=slow
"$src/scripts/render-slurm" -rt ./fake -passes 8 -state 's t.state' -o 'p a.ppm' -wait "${opts[@]}" \
  > "$top/out" 2> "$top/err" &
waiting=$!
for ((t = 0; t < 600; t++)); do
  squeue -h -t RUNNING -o %i | grep -q . && break
  sleep 0.1
done
kill -TERM "$waiting"
status=0
wait "$waiting" || status=$?
check "a signal" "$status/$(cat "$top/err")/$(jobs_running)" "143//"
check "the state after a signal" "$(cmp -s 's t.state' kept.state && echo kept)" kept

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
