#!/usr/bin/env bash
# The layer check must fail on an upward include and an upward link: each is
# planted in a copy of the core, and the check must name it.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
core="$here/../../client/core/core_dll"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fresh_copy() {
  rm -rf "$work/core"
  mkdir -p "$work/core"
  (cd "$core" && find . \( -name '*.h' -o -name '*.cc' -o -name 'CMakeLists.txt' \) -print0 |
     xargs -0 cp --parents -t "$work/core")
}

expect_failure() {  # description, expected text
  if out="$(bash "$here/check-layers.sh" "$work/core" 2>&1)"; then
    echo "FAIL: $1 passed the check"; exit 1
  fi
  if ! grep -qF "$2" <<< "$out"; then
    echo "FAIL: $1: the check did not name it; it said:"; echo "$out"; exit 1
  fi
  echo "ok: $1"
}

fresh_copy
bash "$here/check-layers.sh" "$work/core" > /dev/null || { echo "FAIL: the unchanged copy fails"; exit 1; }
echo "ok: the unchanged copy passes"

# An include up from the clock to the session.
sed -i '0,/^#include/s//#include "ostrel_session.h"\n#include/' "$work/core/replay/tick_clock.cc"
expect_failure "replay including the session" 'replay/tick_clock.cc:1 includes "ostrel_session.h": replay may not see session'

# An include from one backend into another.
fresh_copy
sed -i '0,/^#include/s//#include "platform\/linux\/x11_handles.h"\n#include/' "$work/core/platform/sim/sim_capture.cc"
expect_failure "a backend including another" 'platform/sim may not see platform/linux'

# A subsystem including one beside it.
fresh_copy
sed -i '0,/^#include/s//#include "save\/clip_save.h"\n#include/' "$work/core/encode/backoff.cc"
expect_failure "encode including save" 'encode may not see save'

# A folder the order does not know.
fresh_copy
mkdir -p "$work/core/stray" && echo '#pragma once' > "$work/core/stray/stray.h"
expect_failure "a folder without a place" "folder 'stray' has no place"

# A library linking up.
fresh_copy
echo 'target_link_libraries(ostrel_encode PUBLIC ostrel_capture)' >> "$work/core/CMakeLists.txt"
expect_failure "encode linking capture" 'ostrel_encode links ostrel_capture'

echo "check-layers-catches: all planted upward dependencies were caught"
