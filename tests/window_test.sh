#!/usr/bin/env bash
# Drives rt's preview window on a private virtual X server, through the real
# binary and real X events: (a, d, f, g, h) a finished frame, also of one row
# in the parallel mode, of three passes, and to files of linear colours: S
# saves the window-less picture, clicks report their position, other keys do
# nothing, Escape ends with status 0; the window shows the picture;
# (b, e) S during a slow render saves the rows done so far over the 0x0F fill,
# and Escape ends it at once, in both modes; (c) no display: "set video mode
# failed" and status 1; (g) on a server that resets whenever its last client
# leaves, every start still gets its window, and every ending signal ends it
# by that signal; (h) there the parallel mode keeps its passes and writes
# their picture first; (i) a state that cannot be continued ends the run
# with status 1.
# Usage: window_test.sh RT_BINARY
# Needs Xvfb and xdotool; exits 77 (skipped) when either is missing.
set -u

[ $# -eq 1 ] || { echo "usage: $0 RT_BINARY" >&2; exit 2; }
rt=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
[ -x "$rt" ] || { echo "not an executable: $1" >&2; exit 2; }
for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (scripts/install-deps installs it)" >&2
    exit 77
  fi
done

caption="Ostrel's Path Tracer"
# The window's name, or the start of it: a render of passes adds the pass.
window_name="^$caption\$"
final_name=$caption
named() { [ "$(xdo getwindowname "$win")" = "$1" ]; }
# In a sanitized build the X and SDL libraries' own leaks are not reported.
here=$(cd "$(dirname "$0")" && pwd)
export LSAN_OPTIONS="suppressions=$here/window/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
work=$(mktemp -d "${TMPDIR:-/tmp}/rt-window.XXXXXX")
xvfb_pid=""
resetting_pid=""
rt_pid=""

# Every process this script started goes, whatever the way out.
finish() {
  local pid
  for pid in $rt_pid $xvfb_pid $resetting_pid; do
    kill "$pid" 2>/dev/null
  done
  for pid in $rt_pid $xvfb_pid $resetting_pid; do
    wait_until 5 gone "$pid" || kill -KILL "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

fail() {
  echo "FAIL: $*" >&2
  local f
  for f in "$work"/*.stdout "$work"/*.stderr "$work"/xdotool.log "$work"/xvfb.log; do
    [ -s "$f" ] && { echo "--- ${f##*/}:" >&2; cat -A "$f" >&2; }
  done
  exit 1
}

# Runs a command every 50 ms until it succeeds; false after $1 seconds.
wait_until() {
  local end=$((SECONDS + $1))
  shift
  while ! "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}

# The shell reaps its children as they end, so an ended one is gone at once.
gone() { ! kill -0 "$1" 2>/dev/null; }
has_line() { grep -qxF -- "$2" "$1" 2>/dev/null; }
has_lines() {
  local n
  n=$(grep -cxF -- "$2" "$1" 2>/dev/null)
  [ "${n:-0}" -ge "$3" ]
}
has_size() { [ -f "$1" ] && [ "$(wc -c <"$1")" -eq "$2" ]; }

# Whether the screen shows the PPM picture $1 with its top left at $2, $3.
shows() { python3 "$here/window/shows_picture.py" "$work/Xvfb_screen0" "$@" 2>/dev/null; }

# xdotool, bounded; its chatter goes to a log.
xdo() { timeout 10 xdotool "$@" 2>>"$work/xdotool.log"; }

# Starts rt in the background in folder $work/$1 with the other arguments;
# its output goes to $work/$1.stdout and $work/$1.stderr. The SDL driver is
# pinned to X11 so that nothing in the environment picks another one. Like
# the X server, rt gets a lifetime limit, so that neither outlives a test
# killed without a chance to clean up.
start_rt() {
  local name=$1
  shift
  mkdir -p "$work/$name"
  # Output of an earlier run under the same name is not taken for this one's.
  rm -f "$work/$name.stdout" "$work/$name.stderr"
  (cd "$work/$name" && SDL_VIDEODRIVER=x11 exec timeout 120 "$rt" "$@" >"../$name.stdout" 2>"../$name.stderr") &
  rt_pid=$!
}

# Waits up to $2 seconds for the rt of part $1 to end; sets rt_status.
wait_rt() {
  wait_until "$2" gone "$rt_pid" || fail "$1: rt did not end"
  wait "$rt_pid" 2>/dev/null # no word from the shell about a signal
  rt_status=$?
  rt_pid=""
}

no_window() { ! xdo search --name "^$caption" >/dev/null; }

window_found() {
  win=$(xdo search --name "$window_name" | head -n 1)
  [ -n "$win" ]
}
find_window() { wait_until 20 window_found || fail "no window named $caption"; }

# The PPM header of a $1 x $2 picture, and the size of the whole file.
header() { printf 'P6\n%d %d\n255\n' "$1" "$2"; }
ppm_size() { echo $(($(header "$1" "$2" | wc -c) + $1 * $2 * 3)); }
has_header() { cmp -s <(head -c "$(header "$2" "$3" | wc -c)" "$1") <(header "$2" "$3"); }

# One character per row of the P6 file $1 of $2 x $3 pixels: 1 when every
# byte of the row is 0x0F (never rendered), 0 otherwise.
fill_map() {
  od -An -v -tx1 -w$(($2 * 3)) -j"$(header "$2" "$3" | wc -c)" "$1" |
    awk '{ fill = 1; for (i = 1; i <= NF; i++) if ($i != "0f") { fill = 0; break }; printf "%d", fill }'
}

# The same words rt prints, with the time in the completion line replaced.
normalized() { sed -E 's/^(rendering completed in )[0-9]+( msec)$/\1N\2/' "$1"; }

# Spheres on a floor under a point light and a glowing sphere; the top
# rows see only the empty sky.
cat >"$work/scene" <<'EOF'
c p(0 1 -5) t(0 0.5 0) fov(50)
l p(-4 6 -4) c(0.8 0.8 0.8)
s c(0 4 0) r(0.5) kd(0 0 0) ks(0 0 0) s(1) kr(0) ke(3 3 3)
p n(0 1 0) d(0) kd(0.5 0.5 0.5) ks(0 0 0) s(1) kr(0) ke(0 0 0)
s c(-1 1 0) r(1) kd(0.7 0.2 0.2) ks(0.2 0.2 0.2) s(30) kr(0) ke(0 0 0)
s c(1.2 0.6 -0.5) r(0.6) kd(0.2 0.6 0.3) ks(0 0 0) s(1) kr(0) ke(0 0 0)
EOF

# ---- c. no display ----
# Without an X display SDL could fall back on another driver, such as the
# framebuffer console, so X11 is asked for by name here too.
mkdir -p "$work/c"
(cd "$work/c" && env -u DISPLAY SDL_VIDEODRIVER=x11 timeout 20 "$rt" -size 8x8 ../scene >../c.stdout 2>../c.stderr)
status=$?
[ "$status" -eq 1 ] || fail "c: status $status without a display, expected 1"
cmp -s "$work/c.stderr" <(printf 'set video mode failed\n') || fail "c: standard error"
cmp -s "$work/c.stdout" <(printf 'rays: 4  ->  subdiv: 1\n') || fail "c: standard output"
[ ! -e "$work/c/out.ppm" ] || fail "c: out.ppm written"

# ---- a private X server on the first free display ----
exec 3>"$work/display"
# Its frame buffer is kept in $work/Xvfb_screen0, as an XWD file.
timeout 300 Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 640x480x24 -fbdir "$work" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
# The server writes its display number once it accepts connections.
wait_until 20 grep -q '^[0-9]' "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n 1 "$work/display")"

# ---- a. a finished frame, in both modes ----
# S saves the picture a window-less run writes, byte for byte; clicks report
# their position, with any button; other keys do nothing; Escape ends.
finished_frame() {
  local name=$1 pic=${picture:-out.ppm}
  shift
  (cd "$work" && mkdir "ref$name" && cd "ref$name" && timeout 20 "$rt" -nosdl "$@" ../scene >/dev/null 2>&1) ||
    fail "$name: the window-less reference render failed"
  wait_until 20 no_window || fail "$name: the previous window is still there"
  start_rt "$name" "$@" ../scene
  find_window
  wait_until 20 grep -q '^rendering completed in' "$work/$name.stdout" || fail "$name: no completion line"
  wait_until 5 named "$final_name" || fail "$name: the window is named $(xdo getwindowname "$win")"
  if [ "$pic" = out.ppm ]; then
    local X Y
    # The server draws the pointer into its frame buffer: out of the way.
    xdo mousemove 639 479
    eval "$(xdo getwindowgeometry --shell "$win" | grep '^[XY]=')"
    wait_until 5 shows "$work/ref$name/$pic" "$X" "$Y" ||
      fail "$name: the window does not show the picture: $(python3 "$here/window/shows_picture.py" \
        "$work/Xvfb_screen0" "$work/ref$name/$pic" "$X" "$Y" 2>&1)"
  fi
  [ ! -e "$work/$name/$pic" ] || fail "$name: $pic written before S was pressed"
  xdo key --window "$win" x
  xdo key --window "$win" s
  wait_until 20 has_line "$work/$name.stdout" "saving image" || fail "$name: no saving line"
  wait_until 20 has_size "$work/$name/$pic" "$(stat -c %s "$work/ref$name/$pic")" || fail "$name: no $pic"
  cmp "$work/$name/$pic" "$work/ref$name/$pic" >&2 || fail "$name: the saved picture differs"
  xdo mousemove --window "$win" 0 0 click 1
  wait_until 20 has_line "$work/$name.stdout" "mouse click: 0 0" || fail "$name: click at 0 0"
  xdo mousemove --window "$win" 37 0 click 3
  wait_until 20 has_line "$work/$name.stdout" "mouse click: 37 0" || fail "$name: click at 37 0"
  # The window goes with the key press, so xdotool's key release may fail.
  xdo key --window "$win" Escape
  wait_rt "$name" 20
  [ "$rt_status" -eq 0 ] || fail "$name: status $rt_status after Escape"
  printf 'rays: 4  ->  subdiv: 1\nrendering completed in N msec\nsaving image\nmouse click: 0 0\nmouse click: 37 0\n' \
    >"$work/$name.expected"
  cmp -s <(normalized "$work/$name.stdout") "$work/$name.expected" || fail "$name: standard output"
  [ ! -s "$work/$name.stderr" ] || fail "$name: standard error not empty"
}
finished_frame a -size 64x48
# A frame of one row is finished by the first row the workers hand in.
finished_frame d -threads 2 -size 64x1
# Passes: the caption names the pass; S saves the mean of the three.
window_name="^$caption \(pass [1-3] of 3\)\$"
final_name="$caption (pass 3 of 3)"
finished_frame f -threads 2 -passes 3 -size 64x8
window_name="^$caption\$"
final_name=$caption
# Files of linear colours: S saves what a window-less run writes.
picture=out.exr finished_frame g -size 64x48 -o out.exr
picture=out.pfm finished_frame h -threads 2 -size 64x8 -o out.pfm

# ---- b. saving halfway through a slow render ----
# 256 x 192 at 1024 rays per pixel takes far longer than this part: the
# frame is never finished before Escape.
w=256
h=192
# The server may not yet have taken down the window of the previous run.
wait_until 20 no_window || fail "b: the previous window is still there"
start_rt b -size ${w}x$h -rays 1024 ../scene
find_window

# Saves once more and sets map to the saved picture's fill map. Each save
# replaces a stale file, which must come back whole.
saves=0
save() {
  printf 'stale\n' >"$work/b/out.ppm"
  xdo key --window "$win" s
  saves=$((saves + 1))
  wait_until 20 has_lines "$work/b.stdout" "saving image" "$saves" || fail "b: no saving line"
  wait_until 20 has_size "$work/b/out.ppm" "$(ppm_size $w $h)" || fail "b: out.ppm not written"
  has_header "$work/b/out.ppm" $w $h || fail "b: out.ppm header"
  map=$(fill_map "$work/b/out.ppm" $w $h)
  [ ${#map} -eq $h ] || fail "b: out.ppm has ${#map} rows"
}

# The first row may not be done at the first press: press again until it is.
end=$((SECONDS + 30))
save
while [[ $map =~ ^1+$ ]] && ((SECONDS < end)); do
  save
done
[[ $map =~ ^0+1+$ ]] || fail "b: rows done and rows to do do not split the picture: $map"
xdo key --window "$win" Escape
wait_rt b 20
[ "$rt_status" -eq 0 ] || fail "b: status $rt_status after Escape"
{
  printf 'rays: 1024  ->  subdiv: 5\n'
  for ((i = 0; i < saves; i++)); do printf 'saving image\n'; done
} >"$work/b.expected"
cmp -s "$work/b.stdout" "$work/b.expected" || fail "b: standard output"
[ ! -s "$work/b.stderr" ] || fail "b: standard error not empty"

# ---- e. the parallel mode: worker threads render, the window shows ----
# A slow parallel render: S saves the rows finished so far, in whatever
# order they came, and Escape stops the workers at once.
wait_until 20 no_window || fail "e: the previous window is still there"
start_rt e -threads 2 -size ${w}x$h -rays 1024 ../scene
find_window
end=$((SECONDS + 30))
while :; do
  printf 'stale\n' >"$work/e/out.ppm"
  xdo key --window "$win" s
  wait_until 20 has_size "$work/e/out.ppm" "$(ppm_size $w $h)" || fail "e: out.ppm not written"
  map=$(fill_map "$work/e/out.ppm" $w $h)
  [[ $map == *0* ]] && break
  ((SECONDS < end)) || fail "e: no row finished"
done
[[ $map == *1* ]] || fail "e: the slow frame was finished already"
escape_at=$SECONDS
xdo key --window "$win" Escape
wait_rt e 5
[ "$rt_status" -eq 0 ] || fail "e: status $rt_status after Escape"
((SECONDS - escape_at <= 5)) || fail "e: Escape took $((SECONDS - escape_at)) s"
! grep -q '^rendering completed' "$work/e.stdout" || fail "e: completion line"
[ ! -s "$work/e.stderr" ] || fail "e: standard error not empty"

# ---- g. a server that resets ----
# Xvfb as xvfb-run starts it, without -noreset: it resets whenever its last
# client leaves, and hangs up on whoever connects meanwhile, which SDL's own
# probe of the display sets off now and then (in one start of four to
# seven without the retries). Every start must get its window. Each ending
# signal ends a window as it ends a window-less run: by that signal. (rt runs
# under timeout, which passes a signal on and then ends by the same one; no
# core is dumped for SIGQUIT.)
ulimit -c 0
exec 3>"$work/display-resetting"
timeout 300 Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 >"$work/xvfb-resetting.log" 2>&1 &
resetting_pid=$!
exec 3>&-
wait_until 20 grep -q '^[0-9]' "$work/display-resetting" || fail "the resetting Xvfb did not start"
export DISPLAY=":$(head -n 1 "$work/display-resetting")"
for round in 1 2; do
  for sig in INT TERM HUP QUIT; do
    start_rt g -size 8x8 -rays 1 ../scene
    wait_until 60 grep -q "^rendering completed" "$work/g.stdout" 2>/dev/null || fail "g: round $round, SIG$sig: no window"
    kill -s "$sig" "$rt_pid"
    wait_rt "g: round $round, SIG$sig" 20
    [ "$rt_status" -eq $((128 + $(kill -l "$sig"))) ] || fail "g: round $round, status $rt_status after SIG$sig"
    [ ! -s "$work/g.stderr" ] || fail "g: round $round, SIG$sig: standard error not empty"
  done
done

# ---- h. a signal to the parallel mode's window ----
# The pass under way is dropped; the passes done stay in the state, and
# their picture is written before the signal ends the run.
# The first pass of a small frame takes a fraction of a second, but a window
# that shows each of its rows can wait long on a server starved by a loaded
# machine.
start_rt h -threads 2 -passes 1000 -size 32x24 -state w.state -o w.ppm ../scene
# The state file is made empty at once; a pass saved makes it grow.
wait_until 60 test -s "$work/h/w.state" || fail "h: no state written"
kill -s HUP "$rt_pid"
wait_rt h 20
[ "$rt_status" -eq 129 ] || fail "h: status $rt_status after SIGHUP"
(cd "$work/h" && "$rt" -merge m.state w.state -o m.ppm >/dev/null) || fail "h: the state cannot be merged"
cmp -s "$work/h/w.ppm" "$work/h/m.ppm" || fail "h: the picture is not that of the passes in the state"
[ ! -s "$work/h.stderr" ] || fail "h: standard error not empty"

# ---- i. a state that cannot be continued, in the window ----
# The passes never start: the window's run fails as a window-less one does.
mkdir -p "$work/i" && printf 'garbage\n' >"$work/i/bad.state"
start_rt i -threads 2 -passes 2 -size 8x8 -state bad.state ../scene
wait_rt i 20
[ "$rt_status" -eq 1 ] || fail "i: status $rt_status for a state that is not one"
cmp -s "$work/i.stderr" <(printf 'cannot continue from state file bad.state: not a state file of rt\n') ||
  fail "i: standard error"
[ ! -e "$work/i/out.ppm" ] || fail "i: out.ppm written"

echo "window test passed"
