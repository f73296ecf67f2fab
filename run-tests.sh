#!/bin/sh
# Builds everything and runs every test (launcher, wizard, system, sanitizers).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/tools/build.sh" ON
cd "$here/build"
ctest --output-on-failure -j "$(nproc)" "$@"
