#!/bin/sh
# build-dnf5daemon-root.sh: prints the folder of a Debian forky root with
# the dnf5 daemon (dnf5daemon-server from Debian's dnf5-server, D-Bus name
# org.rpm.dnf.v0, started by the bus) and polkitd, and no PackageKit: the
# package service of the RPM desktops that left PackageKit. It also holds
# rpm, dbus, the MIME database, a graphical polkit agent (lxpolkit) and what
# a stock GNOME desktop has of X11 (no Qt); the X server and the programs
# that drive it run outside. polkit 128 ships its agent helper without the
# setuid bit and starts it from a systemd socket, which a root without
# systemd lacks: the helper gets back the mode older polkit shipped it with.
# tools/build-packagekit-dnf5.sh makes a forky root with PackageKit's dnf5
# backend beside the daemon; the two share tools/cached-root.sh.
#
# Made once per machine, recipe and mirror, in $QOR_DNF5DAEMON_CACHE
# (default /var/cache/qor-dnf5daemon)/forky-<key>/root, locked with flock
# so that parallel callers wait for one build (about 2 minutes). The mirror
# is the one this machine's apt configuration names (tools/debian-mirror.sh),
# or $QOR_DNF5DAEMON_MIRROR. Forky's Release file may be past its
# Valid-Until date on a mirror: its packages are consistent all the same.
# Needs root (mmdebstrap --mode=root).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cached_root_tool=build-dnf5daemon-root
. "$here/cached-root.sh"

cache=${QOR_DNF5DAEMON_CACHE:-/var/cache/qor-dnf5daemon}
suite=forky
cache_mirror QOR_DNF5DAEMON_MIRROR

recipe_version=2
desktop=$(sed '/^#/d' "$here/../tests/desktop_packages.txt")
packages=dnf5-server,rpm,shared-mime-info,dbus,dbus-daemon,dbus-bin,libglib2.0-bin,polkitd,passwd,lxpolkit,$desktop
dir=$cache/$suite-$(printf '%s\n' "$recipe_version" "$suite" "$mirror" "$packages" | cache_key 10)
[ -e "$dir/done" ] && { echo "$dir/root"; exit 0; }
[ "$(id -u)" -eq 0 ] || stop "needs root (mmdebstrap --mode=root)"
command -v mmdebstrap >/dev/null || stop "mmdebstrap not found: install the Debian package mmdebstrap"

make_root() {
  rm -rf "$dir"
  mkdir -p "$dir"
  start=$(date +%s)
  log=$dir/build.log
  # The rpm database where Fedora's rpm keeps it (Debian's would use ~/.rpmdb).
  unshare --mount --propagation private mmdebstrap --mode=root --variant=minbase \
    --aptopt='Acquire::Check-Valid-Until "false"' --include="$packages" \
    --customize-hook='mkdir -p "$1/etc/rpm" && echo "%_dbpath /var/lib/rpm" >"$1/etc/rpm/macros" &&
      chroot "$1" rpm --initdb && chmod 4755 "$1/usr/lib/polkit-1/polkit-agent-helper-1"' \
    "$suite" "$dir/root" "$mirror" >"$log" 2>&1 || fail "the root could not be made"
  chroot "$dir/root" dpkg-query -W dnf5-server polkitd >"$dir/recipe.txt"
  note "made in $(($(date +%s) - start)) s, $(du -sm "$dir/root" | cut -f 1) MB"
}
cache_once "$cache" "$dir/done" make_root
echo "$dir/root"
