#!/bin/sh
# i686-ready.sh [--packages]: exits 0 where the i686 build (cmake/i686.cmake)
# finds its i386 libraries installed; otherwise says in one line which are
# missing and exits 77, the status by which a test is skipped. --packages
# prints that list: install-deps.sh installs it beside the rest, and leaves
# it out only where apt cannot install it together with this system's amd64
# packages (an i386 package list that a mirror mid-sync serves spoilt).
set -eu
packages="musl-dev:i386 qtbase5-dev:i386 libxcb1-dev:i386"
[ "${1:-}" = --packages ] && { echo "$packages"; exit 0; }
# shellcheck disable=SC2086
missing=$("$(dirname "$0")/missing-packages.sh" $packages)
[ -z "$missing" ] && exit 0
echo "the i686 build is skipped: its i386 packages$missing are not installed (tools/install-deps.sh says why)"
exit 77
