#!/usr/bin/env bash
# bench/launchbench.sh: the launch road of the session launch against the
# doubles (bench/launchbench.py) in a harness slot. BUILD_DIR chooses the
# build folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/script/build" >/dev/null
QUARLO_BUILD_DIR="$build" PYTHONDONTWRITEBYTECODE=1 \
  "$top/test/harness/slot.sh" "$build/harness" /usr/bin/python3 "$top/bench/launchbench.py"
