#!/bin/sh
# build-packagekit-backends.sh: prints the folder of a Debian 13 (trixie)
# root whose packagekitd runs the RPM backends that Fedora, RHEL and openSUSE
# use: dnf (libdnf) and zypp (libzypp), built from Debian's own packagekit
# source (Debian builds only its apt backend). Start it with
# `packagekitd --backend=dnf` or `--backend=zypp`.
#
# The root holds what installing needs at run time and nothing to build
# with: the daemon and its backends, dnf, zypper, rpm, dbus, polkitd, the
# MIME database by which PackageKit tells what a file is, gnupg, and what a
# stock GNOME desktop has of X11 (no Qt). The X server and the programs that
# drive it run outside.
#
# The backends are built in a throwaway build root (tools/packagekit-roots.sh
# holds what this and tools/build-packagekit-dnf5.sh share): libdnf's
# development files need libcurl4-gnutls-dev (through librepo) and libzypp's
# need libcurl4-openssl-dev, and the two exclude each other, so the dnf
# backend is built first, then libzypp's files replace libdnf's.
#
# Made once per machine, recipe and mirror, in $QOR_PACKAGEKIT_RPM_CACHE
# (default /var/cache/qor-packagekit-rpm)/trixie-<key>/root, locked with
# flock so that parallel callers wait for one build. The mirror is the one
# this machine's apt configuration names (tools/debian-mirror.sh), or
# $QOR_PACKAGEKIT_RPM_MIRROR. Needs root (mmdebstrap --mode=root).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cached_root_tool=build-packagekit-backends
. "$here/cached-root.sh"
. "$here/packagekit-roots.sh"

cache=${QOR_PACKAGEKIT_RPM_CACHE:-/var/cache/qor-packagekit-rpm}
suite=trixie
cache_mirror QOR_PACKAGEKIT_RPM_MIRROR
security=$("$here/debian-mirror.sh" security || true)

# Every line that changes the result is in the key.
recipe_version=1
# PackageKit's build needs, beyond its Debian build dependencies (which are
# for the apt backend).
build_packages=build-essential,meson,ninja-build,pkgconf,dpkg-dev,file,libappstream-glib-dev,libappstream-dev
build_packages=$build_packages,librpm-dev,libsqlite3-dev,libglib2.0-dev,libpolkit-gobject-1-dev,gettext,libsystemd-dev
dnf_dev_packages='libdnf-dev librepo-dev libmodulemd-dev'
zypp_dev_packages='libzypp-dev'
desktop=$(sed '/^#/d' "$here/../tests/desktop_packages.txt")
run_packages=dnf,zypper,rpm,shared-mime-info,dbus,dbus-daemon,dbus-bin,libglib2.0-bin,polkitd,passwd,gnupg,$desktop

key=$(printf '%s\n' "$recipe_version" "$suite" "$mirror" "$security" "$build_packages" "$dnf_dev_packages" \
  "$zypp_dev_packages" "$meson_options" "$run_packages" | cache_key 10)
dir=$cache/$suite-$key
[ -e "$dir/done" ] && { echo "$dir/root"; exit 0; }

[ "$(id -u)" -eq 0 ] || stop "needs root (mmdebstrap --mode=root, chroot)"
command -v mmdebstrap >/dev/null || stop "mmdebstrap not found: install the Debian package mmdebstrap"
set -- "deb $mirror $suite main" "deb $mirror $suite-updates main"
[ -z "$security" ] || set -- "$@" "deb $security $suite-security main"
packagekit_ldd_check='/usr/libexec/packagekitd /usr/lib/*/packagekit-backend/*.so'

# make_root SOURCE...: the roots, from those apt lines.
make_root() {
  rm -rf "$dir"
  mkdir -p "$dir/stage"
  # The dnf backend's meson file also builds the notification plugin of dnf5
  # (libdnf5, sdbus-c++), which Debian 13 does not have: only that plugin is
  # left out, not the dnf backend.
  {
    packagekit_inside_prelude
    cat <<EOF
awk '/^(dnf5_dep|libdnf5_version|sdbus_cpp_dep) =/ { next }
  /^add_languages\(.cpp./ { skip = 1 }
  skip && /libdnf5-plugins/ { skip = 2; next }
  skip == 2 && /^\)/ { skip = 0; next }
  !skip' backends/dnf/meson.build >meson.dnf && mv meson.dnf backends/dnf/meson.build
if grep -q 'dnf5\|sdbus' backends/dnf/meson.build; then
  echo "the dnf5 plugin is still in backends/dnf/meson.build:"; cat backends/dnf/meson.build; exit 1
fi
apt-get install -y -q $dnf_dev_packages
meson setup build-dnf $(echo $meson_options) -Dpackaging_backend=dnf
ninja -C build-dnf
DESTDIR=/stage meson install -C build-dnf
needed \$(find /stage -type f -exec sh -c 'file -b "\$1" | grep -q "^ELF"' sh {} \; -print) >/stage-packages
apt-get install -y -q $zypp_dev_packages
meson setup build-zypp $(echo $meson_options) -Dpackaging_backend=zypp
ninja -C build-zypp backends/zypp/libpk_backend_zypp.so
install -m 0644 build-zypp/backends/zypp/libpk_backend_zypp.so /stage/usr/lib/x86_64-linux-gnu/packagekit-backend/
needed /stage/usr/lib/x86_64-linux-gnu/packagekit-backend/libpk_backend_zypp.so >>/stage-packages
sort -u /stage-packages >/stage/packagekit-run-packages
EOF
  } >"$dir/build-inside.sh"
  note "building PackageKit's dnf and zypp backends from Debian's source, once, in $dir"
  printf '%s\n' "packagekit from Debian's source, backends dnf and zypp, $suite from $mirror" >"$dir/recipe.txt"
  backends=/usr/lib/x86_64-linux-gnu/packagekit-backend
  packagekit_roots "$dir" "$suite" "$build_packages" "$run_packages" \
    "/usr/libexec/packagekitd $backends/libpk_backend_dnf.so $backends/libpk_backend_zypp.so" "$@"
}
cache_once "$cache" "$dir/done" make_root "$@"
echo "$dir/root"
