#!/bin/bash
# prepare.sh SOURCE_DIR WORK_DIR CMAKE DEMO_DEB [SUITE]: prints the Debian
# root that the agent rows run in (SUITE: trixie, Debian 13, the default; or
# forky, Debian's testing release), then the Ubuntu release installer they
# start (built into WORK_DIR with DEMO_DEB as its package; its static Qt is
# made once per machine). The root is made by mmdebstrap once per machine and
# package list and cached in $QOR_DESKTOP_AGENT_CACHE (default
# /var/cache/qor-desktop-agent). It holds a stock desktop's installing set
# (PackageKit, polkit, the MIME database by which PackageKit tells what a file
# is), a graphical polkit agent, and the X11 libraries and fonts that the
# compat test's desktop roots have.
set -u
src=$1 work=$2 cmake=$3 demo_deb=$4 suite=${5:-trixie}
cached_root_tool=prepare
. "$src/tools/cached-root.sh"
cache=${QOR_DESKTOP_AGENT_CACHE:-/var/cache/qor-desktop-agent}
mirror=${QOR_COMPAT_MIRROR:-$("$src/tools/debian-mirror.sh")}
[ -n "$mirror" ] || { echo "this machine's apt configuration names no Debian mirror: name one in QOR_COMPAT_MIRROR" >&2; exit 1; }
desktop=$(sed '/^#/d' "$src/tests/desktop_packages.txt")
packages=dbus,dbus-daemon,dbus-bin,polkitd,packagekit,passwd,shared-mime-info,lxpolkit,$desktop
# forky: its Release on the mirror is past Valid-Until, the packages are
# consistent; polkit 127 and later leave the agent's helper to a systemd
# socket, and without systemd it needs the setuid bit older polkit shipped.
case $suite in
trixie) options=() ;;
forky) options=(--aptopt='Acquire::Check-Valid-Until "false"'
         --customize-hook='chmod 4755 "$1/usr/lib/polkit-1/polkit-agent-helper-1"') ;;
*) stop "no agent root for $suite" ;;
esac
dir=$cache/$suite-agent-$(printf '%s %s' "$packages" "$mirror" | cache_key 8)
mkdir -p "$work" || exit 1
make_root() {
  rm -rf "$dir" && mkdir -p "$dir" || exit 1
  note "making the $suite agent root in $dir, once"
  log=$dir/mmdebstrap.log
  unshare --mount --propagation private mmdebstrap --mode=root --variant=minbase --architectures=amd64 \
    "${options[@]}" --include="$packages" "$suite" "$dir/root" "$mirror" >"$log" 2>&1 || fail "mmdebstrap failed"
}
cache_once "$cache" "$dir/done" make_root || exit 1
{ cd "$src" && "$cmake" --preset release -B "$work/ubuntu" -DQOR_PACKAGE_FILE_NAME=qor-3.1.1.1912102.ubuntu.amd64.deb \
    -DQOR_NATIVE_PACKAGE="$demo_deb" && "$cmake" --build "$work/ubuntu" --target qor-setup -j2; } >"$work/ubuntu.log" 2>&1 \
  || { echo "the Ubuntu release build failed:" >&2; tail -n 20 "$work/ubuntu.log" >&2; exit 1; }
echo "$dir/root"
echo "$work/ubuntu/qor-setup"
