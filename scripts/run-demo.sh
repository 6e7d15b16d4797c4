#!/usr/bin/env bash
# Main job: builds the library and runs the demo host on the fake world.
# Extra arguments go to ostrel-demo (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ostrel-demo
exec build/default/demo/ostrel-demo "$@"
