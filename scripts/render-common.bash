# The parts that scripts/render-farm and scripts/render-slurm share: the rt
# options they pass on, the plan of passes that rt itself makes, the split
# into bands, progress lines, and stacking bands into one picture. Sourced by
# both, after they set $prog, the name their messages begin with.

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
# files they name, which a remote host needs too. The options that the
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
      -rays | -gamma) i=$((i + 1)) ;;
      -nosdl) ;;
      --help) print_help ;;
      -threads | -rows | -o | -passes | -state | -time | -merge | -plan | --version)
        echo "$prog sets ${args[$i]} itself" >&2
        exit 2
        ;;
      *)
        scenes+=("$i")
        name=${args[$i]}
        if [ -e "$name" ] && [ ! -f "$name" ]; then
          fail "scene file $name is not a regular file: every job reads it again"
        fi
        if [ -f "$name" ]; then
          while read -r kind mesh _; do
            [ "$kind" != m ] || [ ! -f "$mesh" ] || meshes+=("$mesh")
          done < "$name"
        fi
        ;;
    esac
  done
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
# and the output OUT. Sets held, the number of passes the state holds, and
# ranges, the passes to render (A:B each). Ends the script with rt's message
# when rt refuses.
plan_passes() { # RT RANGE STATE OUT RT-OPTIONS...
  local rt=$1 range=$2 state=$3 out=$4 report line planned=""
  shift 4
  # A picture for a device or FIFO is not opened twice: a reader would get
  # the check's picture.
  if [ -e "$out" ] && [ ! -f "$out" ]; then out=/dev/null; fi
  local opts=(-nosdl -threads 1 -o "$out" -plan)
  [ -z "$range" ] || opts+=(-passes "$range")
  [ -z "$state" ] || opts+=(-state "$state")
  report=$("$rt" "${opts[@]}" "$@") || exit 1
  held=0
  ranges=()
  while IFS= read -r line; do
    case "$line" in
      "passes held: "*) held=${line#passes held: } ;;
      "passes to render: none") planned=1 ;;
      "passes to render: "*) read -r -a ranges <<< "${line#passes to render: }" && planned=1 ;;
    esac
  done <<< "$report"
  [ -n "$planned" ] || fail "$rt gave no plan of the passes (is it an rt that knows -plan?)"
}

# Holds a lock on the folder of FILE (descriptor 9) until the shell ends:
# merges into one state by other runs of these scripts wait their turn, so
# that none of them writes the state without the passes another just added.
# Where there is no flock, or the file system takes no locks, it goes on as
# before.
lock_folder_of() { # FILE
  local folder=.
  case "$1" in */*) folder=${1%/*}/ ;; esac
  exec 9< "$folder" || return 0
  ! command -v flock > /dev/null || flock 9 || true
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
  if [ -e "$out" ] && [ ! -f "$out" ]; then
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
