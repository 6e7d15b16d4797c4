#!/usr/bin/env bash
# Fails on any include or library link inside the core that points up the
# layers. Each folder lists what it may include (besides itself and the
# public headers under include/ostrel); a folder not listed here is an error,
# so a new one has to take its place in the order first.
#
# usage: check-layers.sh [core_dll folder]
set -uo pipefail
root="${1:-$(cd "$(dirname "$0")/../../client/core/core_dll" && pwd)}"
cd "$root" || exit 2

base="sync replay log ffmpeg platform"
declare -A sees=(
  # The exported interface: plain C, includes nothing of the core.
  [ostrel]=""
  # The foundation, bottom up: the annotated mutex, the tick clock and the
  # rings, the log, the FFmpeg helpers, the platform interfaces.
  [sync]=""
  [replay]="sync"
  [log]="sync replay"
  [ffmpeg]="sync log replay"
  [platform]="sync ffmpeg log replay"
  # Backends: the interfaces and the foundation, plus the shared parts
  # (behaviour every backend has, CPU textures, POSIX services); never a
  # subsystem, the session or another backend.
  [platform/common]="$base"
  [platform/cpu]="$base"
  [platform/posix]="$base"
  [platform/sim]="$base platform/common platform/cpu platform/posix"
  [platform/linux]="$base platform/common platform/cpu platform/posix"
  [platform/win]="$base platform/common platform/cpu"
  # Subsystems: the foundation and the subsystems below them.
  [update]="$base"
  [audio]="$base"
  [storage]="$base"
  [encode]="$base"
  [capture]="$base encode"
  [save]="$base audio storage"
  # What runs while recording and is neither capture nor encoding (the
  # running mix): it mixes and encodes as a save does, ahead of it.
  [recording]="$base audio storage save"
  [watchdog]="$base encode"
  # The session and the exports tie everything together.
  [session]="$base update audio storage encode capture save recording watchdog"
)
# Libraries of each layer (CMake targets ostrel_<name>), bottom up; a library
# may link only libraries of lower rank.
declare -A rank=(
  [base]=1 [platform_sim]=2 [platform_linux]=2 [platform_windows]=2
  [update]=2 [audio]=2 [storage]=2 [encode]=2 [capture]=3 [save]=3 [watchdog]=3 [recording]=4 [session]=5
)

# The folder a path (relative to the core) belongs to, in REPLY (no
# subshell: this runs for every include).
folder_of() {
  case "$1" in
    platform/*/*) REPLY="${1%/*}" ;;
    include/*|ostrel/*) REPLY="ostrel" ;;
    */*) REPLY="${1%%/*}" ;;
    *) REPLY="session" ;;
  esac
}

failures=0
mapfile -t files < <(find . \( -name '*.h' -o -name '*.cc' \) | sed 's|^\./||' | sort)
for file in "${files[@]}"; do
  folder_of "$file"
  if [[ -z "${sees[$REPLY]+x}" ]]; then
    echo "check-layers: $file: folder '$REPLY' has no place in the layer order" >&2
    failures=$((failures + 1))
  fi
done
# Every quoted include as file:line:target, in one pass.
while IFS=: read -r file line target; do
  folder_of "$file"
  from="$REPLY"
  [[ -z "${sees[$from]+x}" ]] && continue
  # A bare name beside the including file is that file's own folder.
  if [[ "$file" == */* && "$target" != */* && -e "${file%/*}/$target" ]]; then target="${file%/*}/$target"; fi
  folder_of "$target"
  to="$REPLY"
  [[ "$to" == "$from" || "$to" == "ostrel" ]] && continue
  if [[ " ${sees[$from]} " != *" $to "* ]]; then
    echo "check-layers: $file:$line includes \"$target\": $from may not see $to" >&2
    failures=$((failures + 1))
  fi
done < <(awk '/^[ \t]*#[ \t]*include[ \t]*"/ { match($0, /"[^"]*"/); print FILENAME ":" FNR ":" substr($0, RSTART + 1, RLENGTH - 2) }' "${files[@]}")

# Library links: ostrel_subsystem(<name> ... DEPS ...) and
# target_link_libraries(ostrel_<name> ...), read from the core's CMakeLists.
cmake_text="$(tr '\n' ' ' < CMakeLists.txt | sed 's/)/)\n/g')"
check_link() {
  local from="$1" to="$2"
  [[ -z "${rank[$from]+x}" || -z "${rank[$to]+x}" ]] && return
  if (( rank[$to] >= rank[$from] )); then
    echo "check-layers: CMakeLists.txt: ostrel_$from links ostrel_$to, which is not below it" >&2
    failures=$((failures + 1))
  fi
}
while IFS= read -r call; do
  if [[ "$call" =~ ostrel_subsystem\(([a-z_]+)(.*)\) ]]; then
    name="${BASH_REMATCH[1]}"; rest="${BASH_REMATCH[2]}"
    [[ "$rest" == *DEPS* ]] || continue
    for dep in ${rest#*DEPS}; do [[ "$dep" == ostrel_* ]] && check_link "$name" "${dep#ostrel_}"; done
  elif [[ "$call" =~ target_link_libraries\(ostrel_([a-z_]+)(.*)\) ]]; then
    name="${BASH_REMATCH[1]}"
    for dep in ${BASH_REMATCH[2]}; do [[ "$dep" == ostrel_* ]] && check_link "$name" "${dep#ostrel_}"; done
  fi
done <<< "$cmake_text"

if (( failures > 0 )); then
  echo "check-layers: $failures upward dependencies" >&2
  exit 1
fi
echo "check-layers: every include and link points down the layers"
