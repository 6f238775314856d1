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
      -rays | -gamma | -sampler) i=$((i + 1)) ;;
      -nosdl) ;;
      -threads | -rows | -o | -passes | -state | -time | -merge | -plan | --help | --version)
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
          while read -r kind mesh _; do
            [ "$kind" != m ] || [ ! -f "$mesh" ] || meshes+=("$mesh")
          done < "$name"
        fi
        ;;
    esac
  done
}

# Asks rt which passes of RANGE (P or A:B; none for a check alone) the state
# file STATE (if any) lacks, after the checks a run of its own makes before
# its first pixel: the scene files, the state, which must be of this frame,
# and the output OUT. Sets held, the number of passes the state holds,
# ranges, the passes to render (A:B each), and sampler, the sampler they
# are drawn from (the state's, which a job with a state of its own must be
# told; empty from an rt that has one only). Ends the script with rt's
# message when rt refuses.
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

# Rows k * H / K to (k + 1) * H / K - 1 make band k of K, as A:B.
band_rows() { # K H k
  echo "$(($3 * $2 / $1)):$((($3 + 1) * $2 / $1))"
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

# Stacks DIR/band-0.ppm ... DIR/band-(K-1).ppm into OUT, one header and then
# every band's pixels in order, each band checked to be whole. A regular OUT
# appears whole or not at all: a temporary beside it ($tmp, for the caller's
# clean-up) is renamed over it, with the permission bits a new file gets; a
# device or FIFO is written into.
stack_bands() { # DIR K WIDTH HEIGHT OUT
  local dir=$1 bands=$2 w=$3 h=$4 out=$5 k rows header size band target folder
  tmp=""
  if [ -e "$out" ] && [ ! -f "$out" ]; then
    target=$out
  else
    case "$out" in */*) folder=${out%/*}/ ;; *) folder="" ;; esac
    tmp=$(mktemp "${folder}.${out##*/}.XXXXXX") || fail "cannot write beside $out"
    target=$tmp
  fi
  {
    printf 'P6\n%d %d\n255\n' "$w" "$h"
    for ((k = 0; k < bands; k++)); do
      band="$dir/band-$k.ppm"
      rows=$(((k + 1) * h / bands - k * h / bands))
      header=$(printf 'P6\n%d %d\n255\n' "$w" "$rows")
      size=$((${#header} + 1 + w * rows * 3))
      [ -f "$band" ] && [ "$(wc -c < "$band")" -eq "$size" ] || fail "band $k is missing or not whole"
      tail -c +$((${#header} + 2)) "$band"
    done
  } > "$target" || fail "cannot write $out"
  [ -n "$tmp" ] || return 0
  chmod "$(printf '%o' $((0666 & ~$(umask))))" "$tmp"
  mv -f -- "$tmp" "$out" || fail "cannot write $out"
  tmp=""
}
