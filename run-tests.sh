#!/bin/sh
# Builds everything, the release installer too, and runs every test
# (launcher, wizard, system, sanitizers, release).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/tools/build.sh" ON
# The release installer as well, for the release test: its wizard's static
# Qt is built once per machine (15 to 30 minutes) and cached.
(cd "$here" && cmake --preset release >/dev/null && cmake --build --preset release)
cd "$here/build"
ctest --output-on-failure -j "$(nproc)" "$@"
