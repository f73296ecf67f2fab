#!/bin/sh
# build-static-wizard.sh SOURCE_DIR WORK_DIR OUTPUT [CMAKE_ARG...]
# Builds the self-contained wizard: this source tree configured for the wizard
# alone (QOR_WIZARD_ONLY) inside the static-Qt root of build-static-qt.sh,
# with bullseye's gcc 10 against Qt's static libraries. WORK_DIR keeps the
# build between runs, so a changed source rebuilds only what it touches.
# OUTPUT is replaced only by a complete program.
set -eu
[ $# -ge 3 ] || { echo "usage: $0 SOURCE_DIR WORK_DIR OUTPUT [CMAKE_ARG...]" >&2; exit 2; }
src=$(cd "$1" && pwd) work=$2 output=$3
shift 3
root=$("$src/tools/build-static-qt.sh")
mkdir -p "$work"
work=$(cd "$work" && pwd)

# The tree and the build folder appear under /mnt in the root, in a mount
# namespace of this build's own: nothing is mounted in the shared cached
# root, and builds for other package names can run at the same time.
unshare --mount --propagation private sh -c '
  set -e
  root=$1 src=$2 work=$3 jobs=$4; shift 4
  mount -t tmpfs qor-wizard "$root/mnt"
  mkdir "$root/mnt/src" "$root/mnt/build"
  mount --bind "$src" "$root/mnt/src"
  mount -o remount,bind,ro "$root/mnt/src"
  mount --bind "$work" "$root/mnt/build"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 sh -c "
    set -e
    cmake -S /mnt/src -B /mnt/build -DQOR_WIZARD_ONLY=ON -DQOR_STATIC_QT_PREFIX=/opt/qt5-static \$*
    cmake --build /mnt/build --target qor-wizard -j $jobs" sh "$@"
' sh "$root" "$src" "$work" "$(nproc)" "$@"

cp "$work/qor-wizard" "$output.tmp"
mv "$output.tmp" "$output"
