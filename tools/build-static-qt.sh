#!/bin/sh
# build-static-qt.sh: prints the folder of a Debian 11 (bullseye) amd64 root
# that holds Qt 5 built as static libraries (in /opt/qt5-static inside it)
# and everything needed to build the wizard against it. A program built in
# that root needs only bullseye's glibc and the X11 client libraries of a
# desktop, not the build machine's Qt or C++ runtime.
#
# Made once per machine and recipe, in $QOR_QT_STATIC_CACHE (default
# /var/cache/qor-qt5-static)/<Qt version>-<recipe hash>/; the first run takes
# 15 to 30 minutes on two cores, later runs return at once. The root is made
# in a temporary folder and renamed when it is complete, so a run cut short
# leaves nothing that a later run would take for a cached Qt.
#
# The source is Debian's own qtbase-opensource-src of bookworm, with Debian's
# patches applied by apt-get source (bullseye's 5.15.2 source is no longer
# served); apt checks it against the archive's signed indexes.
set -eu

cache=${QOR_QT_STATIC_CACHE:-/var/cache/qor-qt5-static}
mirror=${QOR_QT_STATIC_MIRROR:-http://deb.debian.org/debian}
security=${QOR_QT_STATIC_SECURITY_MIRROR:-http://security.debian.org/debian-security}
source_version=${QOR_QT_SOURCE_VERSION:-5.15.8+dfsg-11+deb12u3}
prefix=/opt/qt5-static

# Build tools, the -dev packages Qt's xcb platform, fonts and accessibility
# need (libatspi2.0-dev: without it configure drops the AT-SPI bridge and
# screen readers see nothing), cmake for the wizard, and Qt's catalogues.
packages='build-essential perl python3 pkg-config dpkg-dev xz-utils cmake
  libxcb1-dev libx11-xcb-dev libx11-dev libxcb-icccm4-dev libxcb-image0-dev libxcb-keysyms1-dev
  libxcb-randr0-dev libxcb-render-util0-dev libxcb-render0-dev libxcb-shape0-dev libxcb-shm0-dev
  libxcb-sync-dev libxcb-xfixes0-dev libxcb-xinerama0-dev libxcb-xkb-dev libxcb-xinput-dev
  libxkbcommon-dev libxkbcommon-x11-dev libfontconfig1-dev libfreetype6-dev libdbus-1-dev
  libatspi2.0-dev qttranslations5-l10n'

# Packages only the wizard's link needs, not Qt's build (libxcb-image's
# archive calls into libxcb-util): added to a finished root without building
# Qt again.
link_packages='libxcb-util-dev'

# No CUPS: libcups would become a library the wizard needs from the user's
# system. Printing to a PDF file works without it.
configure_options="-static -release -prefix $prefix -opensource -confirm-license -nomake examples
  -nomake tests -no-opengl -no-icu -qt-pcre -qt-zlib -qt-libpng -qt-harfbuzz -fontconfig
  -system-freetype -xcb -bundled-xcb-xinput -dbus-linked -no-glib -no-feature-sql -no-cups"

# Every line that changes the result changes the folder's name. The mirror
# does not: apt checks what any mirror serves against the same signed indexes.
recipe_version=1
key=$(printf '%s\n' "$recipe_version" "$source_version" $packages $configure_options |
  md5sum | cut -c 1-10)
upstream=${source_version%%+*}
name=$upstream-$key
dir=$cache/$name

link_stamp=link-$(printf '%s\n' $link_packages | md5sum | cut -c 1-10)

note() { echo "build-static-qt: $*" >&2; }
stop() { note "$*"; exit 1; }

if [ -e "$dir/done" ] && [ -e "$dir/$link_stamp" ]; then echo "$dir/root"; exit 0; fi

[ "$(id -u)" -eq 0 ] || stop "making the static Qt root needs root (mmdebstrap, chroot); run this once as root"
for tool in mmdebstrap:mmdebstrap unshare:util-linux flock:util-linux; do
  command -v "${tool%%:*}" >/dev/null || stop "${tool%%:*} not found: install the Debian package ${tool#*:}"
done

mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
# Another run may have finished it while this one waited.
if [ -e "$dir/done" ] && [ -e "$dir/$link_stamp" ]; then echo "$dir/root"; exit 0; fi

# in_root ROOT COMMAND: COMMAND run in ROOT with /proc, /dev and the host's
# name service, mounted in a namespace of its own (nothing stays mounted).
in_root() {
  unshare --mount --propagation private sh -c '
    set -e
    root=$1; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    [ -e "$root/etc/resolv.conf" ] || : >"$root/etc/resolv.conf"
    mount --bind /etc/resolv.conf "$root/etc/resolv.conf"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      DEBIAN_FRONTEND=noninteractive sh -c "$1"' sh "$@"
}

if [ -e "$dir/done" ]; then
  note "adding $link_packages to $dir"
  # shellcheck disable=SC2086
  in_root "$dir/root" "apt-get update -q && apt-get install -y -q --no-install-recommends $link_packages &&
    apt-get clean && rm -rf /var/lib/apt/lists/*" >"$dir/link-packages.log" 2>&1 ||
    stop "could not add $link_packages to the root; see $dir/link-packages.log"
  touch "$dir/$link_stamp"
  echo "$dir/root"
  exit 0
fi

tmp=$cache/$name.tmp
rm -rf "$tmp"
mkdir -p "$tmp"
log=$tmp/build.log
fail() {
  note "$1; the last lines of $log:"
  tail -n 30 "$log" >&2
  exit 1
}

start=$(date +%s)
note "making the bullseye root with Qt $source_version in $dir, once (15 to 30 minutes)"
# shellcheck disable=SC2086
mmdebstrap --mode=root --variant=minbase --architectures=amd64 \
  --include="$(echo $packages $link_packages | tr ' ' ,)" \
  --customize-hook='chroot "$1" sh -c "mkdir -p /build && cd /build && apt-get source -q --only-source qtbase-opensource-src='"$source_version"'"' \
  bullseye "$tmp/root" \
  "deb $mirror bullseye main" \
  "deb-src $mirror bookworm main" \
  "deb-src $mirror bookworm-updates main" \
  "deb-src $security bookworm-security main" >"$log" 2>&1 ||
  fail "mmdebstrap could not make the root (a missing package is named in its output)"
note "root made in $(($(date +%s) - start)) s"

jobs=${QOR_QT_STATIC_JOBS:-$(nproc)}
in_root "$tmp/root" "
    set -e
    cd /build/qtbase-opensource-src-*/
    ./configure $(echo $configure_options) >/build/configure.out 2>&1 || { cat /build/configure.out; exit 1; }
    cat /build/configure.out
    grep -qx 'Checking for atspi... yes' /build/configure.out || { echo no AT-SPI bridge: is libatspi2.0-dev there?; exit 1; }
    make -j$jobs
    make install
    test -f $prefix/plugins/platforms/libqxcb.a" >>"$log" 2>&1 ||
  fail "configuring or building Qt failed"

rm -rf "$tmp/root/build" "$tmp/root/var/cache/apt/archives"/*.deb
# Kept for the record of what was built, with which options.
cp "$log" "$tmp/root$prefix/build.log"
printf '%s\n' "source $source_version" "options $configure_options" >"$tmp/root$prefix/recipe.txt"
rm -f "$log"
touch "$tmp/done" "$tmp/$link_stamp"
mv "$tmp" "$dir"
note "done in $(($(date +%s) - start)) s"
echo "$dir/root"
