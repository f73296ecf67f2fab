#!/bin/sh
# Builds everything, the release installer too, and runs every test
# (launcher, wizard, system, sanitizers, release).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/tools/build.sh" ON
# The release installer as well, for the release test: its wizard's static
# Qt is built once per machine (a long build) and cached. Both are built
# in a Debian 11 root (chroot), which needs root.
if [ "$(id -u)" -eq 0 ]; then
  (cd "$here" && cmake --preset release >/dev/null && cmake --build --preset release)
else
  echo "run-tests.sh: the release installer is built as root only; its test is skipped"
fi
cd "$here/build"
ctest --output-on-failure -j "$(nproc)" "$@"
