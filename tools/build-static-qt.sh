#!/bin/sh
# build-static-qt.sh: prints the folder of a Debian 11 (bullseye) amd64 root
# that holds Qt 5 built as static libraries (in /opt/qt5-static inside it)
# and everything needed to build the wizard against it. A program built in
# that root needs only bullseye's glibc and the X11 client libraries of a
# desktop, not the build machine's Qt or C++ runtime.
#
# Made once per machine and recipe, in $QOR_QT_STATIC_CACHE (default
# /var/cache/qor-qt5-static)/<Qt version>-<recipe hash>/; the first run is
# long (its note below says how long), later runs return at once. The root
# is made in a temporary folder and renamed when it is complete, so a run
# cut short leaves nothing that a later run would take for a cached Qt.
#
# The source is Debian's own qtbase-opensource-src of bookworm, with Debian's
# patches applied by apt-get source (bullseye's 5.15.2 source is no longer
# served); apt checks it against the archive's signed indexes. Debian's
# archive serves only the newest version of a suite, so the version is the
# one it serves now: asked each run (apt's index of the bookworm sources,
# kept in the cache, refreshed in a second or so), and a Qt built before for
# that version is taken as it is, without the network when the archive
# cannot be reached. QOR_QT_SOURCE_VERSION pins a version; one that the
# archive no longer serves (and that is not built here) gives way to the
# served one, with a note.
#
# Mirrors: QOR_QT_STATIC_MIRROR and QOR_QT_STATIC_SECURITY_MIRROR, or else
# those of this machine's apt configuration (tools/debian-mirror.sh). Either
# may carry apt's options ahead of the address ("[check-valid-until=no] URL").
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cached_root_tool=build-static-qt
. "$here/cached-root.sh"
cache=${QOR_QT_STATIC_CACHE:-/var/cache/qor-qt5-static}
pinned=${QOR_QT_SOURCE_VERSION:-}
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
# root_name VERSION: the cache folder's name for Qt built from that source.
root_name() {
  printf '%s-%s\n' "${1%%+*}" "$(printf '%s\n' "$recipe_version" "$1" $packages $configure_options |
    cache_key 10)"
}

link_stamp=link-$(printf '%s\n' $link_packages | cache_key 10)

# built VERSION: a finished root for that source, ready for the wizard's link.
built() { [ -e "$cache/$(root_name "$1")/done" ] && [ -e "$cache/$(root_name "$1")/$link_stamp" ]; }

# A pinned version built before needs nothing more.
if [ -n "$pinned" ] && built "$pinned"; then echo "$cache/$(root_name "$pinned")/root"; exit 0; fi

mirror=${QOR_QT_STATIC_MIRROR:-$("$here/debian-mirror.sh" || true)}
security=${QOR_QT_STATIC_SECURITY_MIRROR:-$("$here/debian-mirror.sh" security || true)}
# The suite, its point-release updates and its security updates: apt-get
# source takes the version from whichever has it.
sources="deb-src $mirror bookworm main
deb-src $mirror bookworm-updates main"
if [ -z "$mirror" ]; then
  note "this machine's apt configuration names no Debian mirror (QOR_QT_STATIC_MIRROR names one)"
elif [ -n "$security" ]; then
  sources="$sources
deb-src $security bookworm-security main"
else
  note "this machine's apt configuration names no Debian security mirror: bookworm-security is left out
  (QOR_QT_STATIC_SECURITY_MIRROR names one)"
fi

# The archive's index of those sources, as apt keeps it, in a folder of its
# own: the machine's apt configuration and lists stay as they are.
index=$cache/archive-index
in_index() {
  tool=$1
  shift
  "$tool" -q -o Dir::State="$index" -o Dir::State::Lists="$index/lists" -o Dir::Cache="$index/cache" \
    -o Dir::Etc::SourceList="$index/sources.list" -o Dir::Etc::SourceParts="$index/none" \
    -o Acquire::Retries=0 -o Acquire::http::Timeout=20 -o Acquire::https::Timeout=20 "$@"
}
refresh_index() {
  [ -n "$mirror" ] && mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || return 1
  (
    flock 8
    mkdir -p "$index/lists/partial" "$index/cache" "$index/none"
    printf '%s\n' "$sources" >"$index/sources.list"
    # apt takes the last index it has when it cannot fetch a new one, and
    # says so only in a warning.
    in_index apt-get update >"$index/update.log" 2>&1 && ! grep -q '^[WE]: Failed to fetch' "$index/update.log"
  ) 8>"$cache/index.lock"
}
newest() {
  newest_seen=
  while read -r v; do
    [ -n "$v" ] || continue
    if [ -z "$newest_seen" ] || dpkg --compare-versions "$v" gt "$newest_seen"; then newest_seen=$v; fi
  done
  echo "$newest_seen"
}
# The versions built here before with this recipe, as their roots record them.
built_versions() {
  for recipe in "$cache"/*/root$prefix/recipe.txt; do
    [ -e "$recipe" ] || continue
    v=$(sed -n 's/^source //p' "$recipe")
    built "$v" && echo "$v"
  done
}

unasked="could not ask Debian's archive which qtbase source it serves now (see $index/update.log)"
refreshed=yes
refresh_index || refreshed=
versions=$(in_index apt-cache showsrc --only-source qtbase-opensource-src 2>/dev/null | sed -n 's/^Version: //p')
served=$(echo "$versions" | newest)
[ -n "$refreshed" ] || [ -z "$served" ] || note "$unasked; going by its last answer: $served"
if [ -n "$pinned" ]; then
  source_version=$pinned
  if [ -n "$served" ] && ! echo "$versions" | grep -qxF "$pinned"; then
    note "QOR_QT_SOURCE_VERSION names qtbase-opensource-src $pinned, which Debian's archive no longer serves
  for bookworm: taking $served, the version it serves now"
    source_version=$served
  fi
elif [ -n "$served" ]; then
  source_version=$served
else
  source_version=$(built_versions | newest)
  [ -n "$source_version" ] || stop "$unasked, and no Qt was built here before; QOR_QT_SOURCE_VERSION pins a version"
  note "$unasked; taking $source_version, built here before"
fi
name=$(root_name "$source_version")
dir=$cache/$name

if built "$source_version"; then echo "$dir/root"; exit 0; fi

[ -n "$mirror" ] || stop "no Debian mirror to build qtbase-opensource-src $source_version from: this machine's apt
  configuration (/etc/apt/sources.list, /etc/apt/sources.list.d) names none; QOR_QT_STATIC_MIRROR names one"
[ "$(id -u)" -eq 0 ] || stop "making the static Qt root needs root (mmdebstrap, chroot); run this once as root"
for tool in mmdebstrap:mmdebstrap unshare:util-linux flock:util-linux; do
  command -v "${tool%%:*}" >/dev/null || stop "${tool%%:*} not found: install the Debian package ${tool#*:}"
done

cache_lock "$cache"
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

start=$(date +%s)
note "making the bullseye root with Qt $source_version in $dir, once (about 15 minutes on two quiet cores, up to an hour while other builds share them)"
# shellcheck disable=SC2086
# apt in the root fetches the source itself, over https too when a mirror
# is reached that way: that needs the CA certificates, and changes nothing
# that is built.
certificates=
case "$mirror $security" in *https://*) certificates=ca-certificates ;; esac
printf '%s\n' "deb $mirror bullseye main" "$sources" |
mmdebstrap --mode=root --variant=minbase --architectures=amd64 \
  --include="$(echo $packages $link_packages $certificates | tr ' ' ,)" \
  --customize-hook='chroot "$1" sh -c "mkdir -p /build && cd /build && apt-get source -q --only-source qtbase-opensource-src='"$source_version"'"' \
  bullseye "$tmp/root" - >"$log" 2>&1 ||
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
