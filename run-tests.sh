#!/bin/sh
# Builds everything and runs every test (launcher, wizard, system, sanitizers).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/tools/install-deps.sh"
cmake -S "$here" -B "$here/build" -DBUILD_TESTING=ON >/dev/null
cmake --build "$here/build" -j "$(nproc)"
cd "$here/build"
ctest --output-on-failure -j "$(nproc)" "$@"
