# The parts that scripts/render-farm and scripts/render-slurm share: the rt
# options they pass on, the plan of passes that rt itself makes, holding a
# state for a run and merging the passes rendered into it, the split into
# bands, progress lines, and stacking bands into one picture. Sourced by both,
# after they set $prog, the name their messages begin with.

# A reader of the progress lines that goes away costs those lines, not the
# picture, as with rt itself.
trap '' PIPE
say() { echo "$prog: $*" >&2 || true; }
# A line of progress or report on standard output.
tell() { echo "$*" 2> /dev/null || true; }
fail() {
  say "$*"
  exit 1
}
bad_usage() {
  say "$*"
  exit 2
}
# The ending signals end the script (its clean-up runs), or wait, noted in
# stopped, for the end of a step that must not be cut short.
exit_on_signals() {
  trap 'exit 130' INT
  trap 'exit 143' TERM
  trap 'exit 129' HUP
}
note_signals() {
  trap 'stopped=${stopped:-130}' INT
  trap 'stopped=${stopped:-143}' TERM
  trap 'stopped=${stopped:-129}' HUP
}
# --help: the comment at the head of the script, its manual.
print_help() {
  sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"
  exit 0
}

# Checks the value of -passes, P or A:B, as rt reads it.
check_passes() {
  local first=0 end=0
  if [[ $1 =~ ^[0-9]{1,9}$ ]]; then
    end=$((10#$1))
  elif [[ $1 =~ ^([0-9]{1,9}):([0-9]{1,9})$ ]]; then
    first=$((10#${BASH_REMATCH[1]})) end=$((10#${BASH_REMATCH[2]}))
  fi
  [ "$first" -lt "$end" ] ||
    bad_usage "-passes should be followed by a number of passes, or A:B, the first pass and one past the last"
}

# Checks the picture's name: bands are stacked into a PPM whatever the name,
# so the name of a PNG, an OpenEXR file or a float map is refused for them; a
# picture written over the state would destroy it.
check_output() { # OUT passes|bands STATE
  [ -n "$1" ] || bad_usage "-o should be followed by the output file name"
  if [ "$2" = bands ] && [[ ${1,,} == *.png || ${1,,} == *.exr || ${1,,} == *.pfm ]]; then
    bad_usage "bands are stacked into a PPM: name the picture otherwise, or render -passes"
  fi
  if [ -n "$3" ] && { [ "$1" = "$3" ] || [ "$1" -ef "$3" ]; }; then
    bad_usage "the picture $1 would replace the state"
  fi
}

# Reads the options meant for rt: sets width and height, read as rt reads
# -size (a number, an x, a number; whatever follows is ignored), scenes, the
# places of the scene files among the options, and meshes, the mesh data
# files and images they name, which a remote host needs too. The options that the
# script sets itself are refused, and scene files that cannot be read again
# by every job (a pipe, a FIFO).
scan_rt_options() {
  width=512 height=512
  scenes=()
  meshes=()
  local args=("$@") i kind name mesh
  for ((i = 0; i < ${#args[@]}; i++)); do
    case "${args[$i]}" in
      -size)
        if ! [[ ${args[$((i + 1))]:-} =~ ^[[:space:]]*\+?0*([1-9][0-9]{0,8})x\+?0*([1-9][0-9]{0,8}) ]]; then
          bad_usage "-size should be followed by WxH"
        fi
        width=${BASH_REMATCH[1]} height=${BASH_REMATCH[2]}
        i=$((i + 1))
        ;;
      -rays | -gamma | -sampler) i=$((i + 1)) ;;
      -nosdl) ;;
      --help) print_help ;;
      -threads | -rows | -o | -passes | -state | -time | -merge | -plan | --version)
        echo "$prog sets ${args[$i]} itself" >&2
        exit 2
        ;;
      # A round of a noise target is chosen from the passes of the rounds
      # before it: the jobs would have to go round by round.
      -noise | -rounds-of)
        echo "$prog does not render the rounds of -noise: rt -noise renders them on one machine" >&2
        exit 2
        ;;
      *)
        scenes+=("$i")
        name=${args[$i]}
        if [ -e "$name" ] && [ ! -f "$name" ]; then
          fail "scene file $name is not a regular file: every job reads it again"
        fi
        if [ -f "$name" ]; then
          while read -r kind mesh rest; do
            [ "$kind" = m ] || continue
            [ ! -f "$mesh" ] || meshes+=("$mesh")
            # The images the words after the material name: kd_map(FILE),
            # ke_map(FILE), the name running to the word's last ')'.
            read -ra words <<< "$rest"
            for word in "${words[@]}"; do
              case $word in
                kd_map\(* | ke_map\(*)
                  word=${word:7}
                  [[ $word != *")"* ]] || word=${word%")"*}
                  [ ! -f "$word" ] || meshes+=("$word")
                  ;;
              esac
            done
          done < "$name"
        fi
        ;;
    esac
  done
}

# Whether the picture NAME is written where it stands, as rt writes into a
# device or a FIFO (a folder is refused by rt's checks).
written_in_place() { # NAME
  [ -e "$1" ] && [ ! -f "$1" ] && [ ! -d "$1" ]
}

# The folder part of a path, with its slash ("" for a bare name).
folder_part() {
  case "$1" in */*) printf '%s' "${1%/*}/" ;; esac
}

# Sets followed to the name a chain of symbolic links from PATH ends at, as
# rt follows one (a relative link counts from the link's own folder),
# whether or not that exists; false when a link cannot be read or the chain
# is too long.
follow_links() { # PATH
  local hops link
  followed=$1
  for ((hops = 0; hops < 40; hops++)); do
    [ -L "$followed" ] || return 0
    link=$(readlink -- "$followed" && echo .) || return 1
    link=${link%$'\n.'}
    if [[ $link == /* ]]; then followed=$link; else followed=$(folder_part "$followed")$link; fi
  done
  return 1
}

# Asks rt which passes of RANGE (P or A:B; none for a check alone) the state
# file STATE (if any) lacks, after the checks a run of its own makes before
# its first pixel: the scene files, the state, which must be of this frame,
# and the output OUT. Sets held, the number of passes the state holds,
# ranges, the passes to render (A:B each), and sampler, the sampler they are
# drawn from (the state's, which a job with a state of its own must be told;
# empty from an rt that has one only). Ends the script with rt's message
# when rt refuses, the name STATE in it shown as SHOWN (a copy is read in
# place of the state a run holds).
plan_passes() { # RT RANGE STATE SHOWN OUT RT-OPTIONS...
  local rt=$1 range=$2 state=$3 shown=$4 out=$5 report line planned="" why
  shift 5
  # A picture for a device or FIFO is not opened twice: a reader would get
  # the check's picture.
  if written_in_place "$out"; then out=/dev/null; fi
  local opts=(-nosdl -threads 1 -o "$out" -plan)
  [ -z "$range" ] || opts+=(-passes "$range")
  [ -z "$state" ] || opts+=(-state "$state")
  if ! report=$("$rt" "${opts[@]}" "$@" 2> "$scratch/plan.err"); then
    why=$(cat "$scratch/plan.err")
    [ -z "$state" ] || why=${why//"$state"/"$shown"}
    printf '%s\n' "$why" >&2
    exit 1
  fi
  held=0
  ranges=()
  sampler=""
  while IFS= read -r line; do
    case "$line" in
      "passes held: "*) held=${line#passes held: } ;;
      "sampler: "*) sampler=${line#sampler: } ;;
      "passes to render: none") planned=1 ;;
      "passes to render: "*) read -r -a ranges <<< "${line#passes to render: }" && planned=1 ;;
    esac
  done <<< "$report"
  [ -n "$planned" ] || fail "$rt gave no plan of the passes (is it an rt that knows -plan?)"
}

# A state is held for a script's whole run as rt holds one: by the system's
# write lock (fcntl) on the file, so that another run of these scripts, or of
# rt, or rt -merge into it, is refused at once, naming the holder. The lock is
# taken by a helper process (perl, whose fcntl reaches that lock), which at
# the end becomes the rt -merge that merges the passes rendered into the
# state: a lock belongs to a process and stays through exec, as long as no
# descriptor of the file is closed, so it passes to the merge unbroken. An rt
# run by the script meanwhile would be refused; the plan reads a copy. The
# helper lets the state go at the end of its input, a pipe that every
# process the script starts holds open too: the jobs of a script killed
# outright hold the state until they end.
#
# The passes rendered for a state wait in PIECES, the folder .NAME.passes
# beside it (a state file each, passes-A-B.state for passes A to B-1), until
# they are merged; a merge that cannot be made leaves them there, and the
# next run merges them first. PIECES/jobs names the Slurm jobs of a run of
# render-slurm that may still render into it.

# The helper: holds the file PATH (links followed), the name of a new one
# made empty as rt makes it, and says "held" on standard output, or ends
# with status 1 (rt says why). Then reads, NUL-terminated, a file for the
# output of the merge and the merge's command, and becomes it; at the end of
# its input without a command it lets the file go, removing an empty one it
# made.
state_holder='
use strict;
use warnings;
use Errno qw(ENOENT EEXIST);
use Fcntl qw(O_RDWR O_CREAT O_EXCL O_NONBLOCK F_SETLK F_SETFD F_WRLCK SEEK_SET);
my ($path, $title) = @ARGV;
$0 = $title;
# A write lock on the whole file (l_start and l_len 0): on Linux struct flock
# begins with l_type and l_whence on every machine; on the BSDs it ends with
# them.
my $whole = $^O eq "linux" ? pack("s s", F_WRLCK, SEEK_SET) . "\0" x 60
    : pack("q q l s s", 0, 0, 0, F_WRLCK, SEEK_SET) . "\0" x 40;
sub same { my @a = stat($_[0]); my @b = stat($_[1]); return @a && @b && $a[0] == $b[0] && $a[1] == $b[1]; }
exit 1 if -e $path && !-f _;
my ($fh, $made);
for (1 .. 100) {
    $made = 0;
    if (!sysopen($fh, $path, O_RDWR | O_NONBLOCK)) {
        exit 1 if $! != ENOENT;
        $made = sysopen($fh, $path, O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK, 0666);
        next if !$made && $! == EEXIST;
        exit 1 if !$made;
    }
    exit 1 if !-f $fh || !fcntl($fh, F_SETLK, $whole);
    # Replaced or removed meanwhile: the name is taken again.
    last if same($fh, $path);
    close $fh;
    undef $fh;
}
exit 1 if !defined $fh || !fcntl($fh, F_SETFD, 0);
$| = 1;
print "held\n";
local $/ = "\0";
my ($output, @command) = map { chomp; $_ } <STDIN>;
if (@command) {
    open(STDOUT, ">", $output) && exec { $command[0] } @command;
    print STDERR "$command[0]: $!\n";
    exit 127;
}
unlink $path if $made && -z $fh && same($fh, $path);
'

# Holds the state file STATE for this run; sets pieces. RT, with the rt
# options, says why when it cannot be held, in rt's own words (held by
# another process, a folder, no permission ...). The helper's pipes go in
# $scratch, the folder of the script's own files.
hold_state() { # STATE RT RT-OPTIONS...
  local name=$1 rt=$2 tries line
  shift 2
  command -v perl > /dev/null || fail "perl is needed to hold the state (Debian package perl-base)"
  follow_links "$name" || fail "cannot use state file $name: too many levels of symbolic links"
  pieces="$(folder_part "$followed").${followed##*/}.passes"
  mkfifo "$scratch/hold-in" "$scratch/hold-out"
  for ((tries = 0; tries < 3; tries++)); do
    # In a process group of its own: a signal from the terminal is the
    # script's to answer, and the merge must outlive it.
    set -m
    perl -e "$state_holder" -- "$followed" "$prog: holds $name" < "$scratch/hold-in" > "$scratch/hold-out" &
    hold_pid=$!
    set +m
    exec 7> "$scratch/hold-in" 8< "$scratch/hold-out"
    line=""
    read -r -u 8 line || true
    [ "$line" != held ] || return 0
    release_state
    "$rt" -nosdl -threads 1 -o "$scratch/check.ppm" -plan -state "$name" "$@" > /dev/null || exit 1
  done
  fail "cannot use state file $name: it could not be held"
}

# Lets the state go unmerged.
release_state() {
  [ -n "${hold_pid:-}" ] || return 0
  exec 7>&- 8<&-
  wait "$hold_pid" || true
  hold_pid=""
}

# Holds the folder of the pieces on descriptor 9 (where the system takes
# flock): the passes merged from PIECES go before the next run looks there.
lock_pieces() {
  local folder
  folder=$(folder_part "$pieces")
  exec 9< "${folder:-.}" || return 0
  ! command -v flock > /dev/null || flock 9 || true
}
unlock_pieces() {
  exec 9<&-
}

# The state files in PIECES that hold passes, as found (a file of a run that
# saved nothing in it is empty).
list_pieces() {
  local piece
  found=()
  for piece in "$pieces"/passes-*.state; do
    [ ! -s "$piece" ] || found+=("$piece")
  done
}

# PIECES empties once its passes are in the state: the files merged go, and
# empty ones, which hold nothing.
remove_pieces() { # PIECE...
  local piece
  rm -f -- "$@"
  for piece in "$pieces"/passes-*.state; do
    [ -s "$piece" ] || rm -f -- "$piece"
  done
  rmdir -- "$pieces" 2> /dev/null || true
}

# Sets merge to the rt -merge that merges PIECES (found) into STATE and,
# with a picture name, writes their picture.
merge_command() { # RT STATE PICTURE
  merge=("$1" -merge "$2")
  [ ! -s "$2" ] || merge+=("$2")
  merge+=("${found[@]}")
  [ -z "$3" ] || merge+=(-o "$3")
}

# The passes of A:B that state file FILE lacks, one a line, as rt plans them.
passes_lacking() { # RT A:B FILE RT-OPTIONS...
  local rt=$1 range=$2 file=$3 line a b p
  shift 3
  line=$("$rt" -nosdl -threads 1 -o /dev/null -plan -passes "$range" -state "$file" "$@" 2> /dev/null |
    sed -n 's/^passes to render: //p') || return 1
  for range in $line; do
    [ "$range" != none ] || continue
    a=${range%:*} b=${range#*:}
    for ((p = a; p < b; p++)); do echo "$p"; done
  done
}

# Whether every pass of A:B that the state file PIECE holds, COPY holds
# too, as rt plans them (both of this frame).
held_already() { # RT A:B PIECE COPY RT-OPTIONS...
  local rt=$1 range=$2 piece=$3 copy=$4 of_piece of_copy
  shift 4
  of_piece=$(passes_lacking "$rt" "$range" "$piece" "$@") && of_copy=$(passes_lacking "$rt" "$range" "$copy" "$@") &&
    [ -z "$(comm -23 <(sort <<< "$of_copy") <(sort <<< "$of_piece"))" ]
}

# Merges the passes waiting in PIECES (found) into COPY, a copy of the state:
# those of a run that ended before its merge. A piece whose every pass the
# state holds already (merged by a run that did not live to remove it, or
# rendered again since) goes; one that cannot be merged ends the script, and
# stays.
merge_leftovers() { # RT COPY SHOWN RT-OPTIONS...
  local rt=$1 copy=$2 shown=$3 piece range why
  shift 3
  for piece in "${found[@]}"; do
    if [ ! -s "$copy" ]; then
      cp -- "$piece" "$copy" || fail "cannot read $piece"
      continue
    fi
    "$rt" -merge "$copy" "$copy" "$piece" > /dev/null 2> "$scratch/merge.err" && continue
    range=${piece##*/passes-}
    range=${range%.state}
    if held_already "$rt" "${range/-/:}" "$piece" "$copy" "$@"; then
      rm -f -- "$piece"
      continue
    fi
    why=$(cat "$scratch/merge.err")
    say "${why//"$copy"/"$shown"}"
    fail "the passes kept in $pieces by an earlier run cannot be merged into $shown: move them away to go on"
  done
}

# Refuses the state while Slurm jobs of a run of render-slurm may still
# render into PIECES (a run without -wait, or one whose script was killed);
# forgets them once the controller says they are done, or knows them no
# more.
check_jobs_of_pieces() { # SHOWN
  local jobs left="" status=0
  [ -f "$pieces/jobs" ] || return 0
  read -r jobs < "$pieces/jobs" || true
  if command -v squeue > /dev/null; then
    left=$(squeue -h -j "$jobs" -t PENDING,RUNNING,SUSPENDED,COMPLETING,CONFIGURING -o %F 2> "$scratch/squeue.err" |
      sort -u | paste -s -d ' ') || status=$?
    if { [ $status -eq 0 ] && [ -z "$left" ]; } || grep -q 'Invalid job id' "$scratch/squeue.err"; then
      rm -f -- "$pieces/jobs"
      return 0
    fi
  fi
  [ -n "$left" ] || left="$jobs (unknown here: remove $pieces/jobs once they are done)"
  fail "cannot use state file $1: Slurm jobs $left of render-slurm render into it"
}

# Holds STATE (hold_state) and plans the passes of RANGE that it and the
# passes waiting in PIECES lack (plan_passes, on a copy: the state is held).
# Sets held and ranges.
hold_and_plan() { # STATE RT RANGE OUT RT-OPTIONS...
  local name=$1 rt=$2 range=$3 out=$4 copy="$scratch/plan.state"
  shift 4
  hold_state "$name" "$rt" "$@"
  lock_pieces
  check_jobs_of_pieces "$name"
  if [ -s "$name" ]; then cp -- "$name" "$copy" || fail "cannot read state file $name"; fi
  list_pieces
  merge_leftovers "$rt" "$copy" "$name" "$@"
  unlock_pieces
  if [ ${#found[@]} -gt 0 ]; then
    plan_passes "$rt" "$range" "$copy" "$name (with the passes kept in $pieces)" "$out" "$@"
  elif [ -s "$copy" ]; then
    plan_passes "$rt" "$range" "$copy" "$name" "$out" "$@"
  else
    plan_passes "$rt" "$range" "" "" "$out" "$@"
  fi
}

# Merges the held state STATE and the passes waiting in PIECES into STATE,
# and with a picture name writes their picture: the helper becomes that rt
# -merge, which prints "passes merged: N" into $scratch/merged. The pieces
# merged go; when the merge fails they stay for the next run, and the status
# is the merge's (rt has said why).
merge_held_state() { # RT STATE PICTURE
  local status=0
  lock_pieces
  list_pieces
  if [ ${#found[@]} -eq 0 ] && [ ! -s "$2" ]; then
    remove_pieces
    release_state
    unlock_pieces
    : > "$scratch/merged"
    return 0
  fi
  merge_command "$1" "$2" "$3"
  printf '%s\0' "$scratch/merged" "${merge[@]}" >&7 || status=1
  exec 7>&- 8<&-
  wait "$hold_pid" || status=$?
  hold_pid=""
  [ $status -ne 0 ] || remove_pieces "${found[@]}"
  unlock_pieces
  return $status
}

# Merges the passes rendered, and those the state (if any) holds, into the
# state, or RESULTS/merged.state without one, and with a picture name writes
# their picture; rt's report goes into $scratch/merged. A signal meanwhile
# waits for the merge's end.
merge_passes() { # RT PICTURE
  local status=0
  note_signals
  if [ -n "$state" ]; then
    merge_held_state "$1" "$state" "$2" || status=$?
  else
    pieces=$results
    list_pieces
    merge_command "$1" "$results/merged.state" "$2"
    [ ${#found[@]} -eq 0 ] || "${merge[@]}" > "$scratch/merged" || status=$?
  fi
  exit_on_signals
  return $status
}

# rt's report of merge_passes, on standard output.
print_merged() {
  cat "$scratch/merged" 2> /dev/null || true
}

# The number of passes the state holds after merge_passes.
passes_merged() {
  sed -n 's/^passes merged: //p' "$scratch/merged" | grep . || echo 0
}

# Writes what COMMAND prints into the picture OUT as rt writes a picture: a
# regular file (or a new one) appears whole or not at all, as a temporary
# beside it ($tmp, for the caller's clean-up) that is renamed over it once
# complete, with the permission bits and owner of the file it replaces; a
# symbolic link is followed, and its target replaced; a device or FIFO is
# written into where it stands.
write_picture() { # OUT COMMAND...
  local out=$1 target base
  shift
  if written_in_place "$out"; then
    "$@" > "$out" || fail "cannot write $out"
    return 0
  fi
  follow_links "$out" || fail "cannot write $out: too many levels of symbolic links"
  target=$followed
  # The temporary's name fits wherever the target's own name fits.
  base=$(printf '%s' "${target##*/}" | head -c 247)
  tmp=$(mktemp -- "$(folder_part "$target").$base.XXXXXX") || fail "cannot write beside $out"
  "$@" > "$tmp" || fail "cannot write $out"
  if [ -e "$target" ]; then
    chown --reference="$target" -- "$tmp" 2> /dev/null || true
    chmod --reference="$target" -- "$tmp" || fail "cannot write $out"
  else
    chmod "$(printf '%o' $((0666 & ~$(umask))))" -- "$tmp"
  fi
  mv -f -T -- "$tmp" "$target" || fail "cannot write $out"
  tmp=""
}

# Rows k * H / K to (k + 1) * H / K - 1 make band k of K, as A:B.
band_rows() { # K H k
  echo "$(($3 * $2 / $1)):$((($3 + 1) * $2 / $1))"
}

# The PPM header of band k of K, W pixels wide, of a frame H rows high.
band_header() { # K W H k
  printf 'P6\n%d %d\n255\n' "$2" $((($4 + 1) * $3 / $1 - $4 * $3 / $1))
}

# Ends the script unless DIR/band-0.ppm ... DIR/band-(K-1).ppm are every
# band of a frame W pixels wide and H rows high, whole.
check_bands() { # DIR K W H
  local k header size
  for ((k = 0; k < $2; k++)); do
    header=$(band_header "$2" "$3" "$4" "$k")
    size=$((${#header} + 1 + $3 * (($k + 1) * $4 / $2 - k * $4 / $2) * 3))
    [ -f "$1/band-$k.ppm" ] && [ "$(wc -c < "$1/band-$k.ppm")" -eq "$size" ] || fail "band $k is missing or not whole"
  done
}

# The frame of the bands checked: one header, then every band's pixels in
# order.
stacked_bands() { # DIR K W H
  local k header
  printf 'P6\n%d %d\n255\n' "$3" "$4" || return 1
  for ((k = 0; k < $2; k++)); do
    header=$(band_header "$2" "$3" "$4" "$k")
    tail -c +$((${#header} + 2)) "$1/band-$k.ppm" || return 1
  done
}

# Stacks the bands DIR/band-k.ppm into the picture OUT.
stack_bands() { # DIR K W H OUT
  check_bands "$1" "$2" "$3" "$4"
  write_picture "$5" stacked_bands "$1" "$2" "$3" "$4"
}

# Seconds as m:ss.
clock() {
  printf '%d:%02d' $(($1 / 60)) $(($1 % 60))
}

# "pass 59 of 100 done, 0:41 left": the frame's count, and the time left at
# the pace of the work done since START (seconds since the epoch).
print_progress() { # NOUN DONE TOTAL START DONE-SINCE-START LEFT-SINCE-START
  local spent=$(($(date +%s) - $4))
  tell "$1 $2 of $3 done, $(clock $((spent * $6 / $5))) left"
}
