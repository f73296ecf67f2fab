#!/bin/sh
# build.sh ON|OFF: installs what is missing, then configures and builds
# build/ with BUILD_TESTING set as given.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/tools/install-deps.sh"
cmake -S "$here" -B "$here/build" -DBUILD_TESTING="$1" >/dev/null
cmake --build "$here/build" -j "$(nproc)"
