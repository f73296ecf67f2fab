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
# The backends are built in a throwaway build root (mmdebstrap's target is
# /dev/null): libdnf's development files need libcurl4-gnutls-dev (through
# librepo) and libzypp's need libcurl4-openssl-dev, and the two exclude each
# other, so the dnf backend is built first, then libzypp's files replace
# libdnf's. Only what `meson install` writes comes out, with the names of the
# Debian packages its programs and libraries load.
#
# Made once per machine, recipe and mirror, in $QOR_PACKAGEKIT_RPM_CACHE
# (default /var/cache/qor-packagekit-rpm)/trixie-<key>/root, locked with
# flock so that parallel callers wait for one build. The mirror is the one
# this machine's apt configuration names (tools/debian-mirror.sh), or
# $QOR_PACKAGEKIT_RPM_MIRROR. Needs root (mmdebstrap --mode=root).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
note() { echo "build-packagekit-backends: $*" >&2; }
stop() { note "$*"; exit 1; }

cache=${QOR_PACKAGEKIT_RPM_CACHE:-/var/cache/qor-packagekit-rpm}
suite=trixie
mirror=${QOR_PACKAGEKIT_RPM_MIRROR:-$("$here/debian-mirror.sh" || true)}
security=$("$here/debian-mirror.sh" security || true)
[ -n "$mirror" ] || stop "this machine's apt configuration names no Debian mirror: name one in QOR_PACKAGEKIT_RPM_MIRROR"

# Every line that changes the result is in the key.
recipe_version=1
# PackageKit's build needs, beyond its Debian build dependencies (which are
# for the apt backend).
build_packages=build-essential,meson,ninja-build,pkgconf,dpkg-dev,file,libappstream-glib-dev,libappstream-dev
build_packages=$build_packages,librpm-dev,libsqlite3-dev,libglib2.0-dev,libpolkit-gobject-1-dev,gettext,libsystemd-dev
dnf_dev_packages='libdnf-dev librepo-dev libmodulemd-dev'
zypp_dev_packages='libzypp-dev'
meson_options='--prefix=/usr --sysconfdir=/etc --localstatedir=/var -Dsystemd=false -Doffline_update=false
  -Dgobject_introspection=false -Dman_pages=false -Dgtk_doc=false -Dbash_completion=false
  -Dbash_command_not_found=false -Dgstreamer_plugin=false -Dgtk_module=false -Dcron=false
  -Dpython_backend=false -Ddaemon_tests=false'
desktop=$(sed '/^#/d' "$here/../tests/desktop_packages.txt")
run_packages=dnf,zypper,rpm,shared-mime-info,dbus,dbus-daemon,dbus-bin,libglib2.0-bin,polkitd,passwd,gnupg,$desktop

key=$(printf '%s\n' "$recipe_version" "$suite" "$mirror" "$security" "$build_packages" "$dnf_dev_packages" \
  "$zypp_dev_packages" "$meson_options" "$run_packages" | md5sum | cut -c 1-10)
dir=$cache/$suite-$key
[ -e "$dir/done" ] && { echo "$dir/root"; exit 0; }

[ "$(id -u)" -eq 0 ] || stop "needs root (mmdebstrap --mode=root, chroot)"
command -v mmdebstrap >/dev/null || stop "mmdebstrap not found: install the Debian package mmdebstrap"
mkdir -p "$cache" || stop "$cache cannot be made"
exec 9>"$cache/lock"
flock 9
# Another run may have finished it while this one waited.
[ -e "$dir/done" ] && { echo "$dir/root"; exit 0; }

rm -rf "$dir"
mkdir -p "$dir/stage"
log=$dir/build.log
fail() {
  note "$1; the last lines of $log:"
  tail -n 40 "$log" >&2
  exit 1
}
set -- "deb $mirror $suite main" "deb $mirror $suite-updates main"
[ -z "$security" ] || set -- "$@" "deb $security $suite-security main"

# The build, inside the build root. The dnf backend's meson file also builds
# the notification plugin of dnf5 (libdnf5, sdbus-c++), which Debian 13 does
# not have: only that plugin is left out, not the dnf backend.
cat >"$dir/build-inside.sh" <<EOF
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get build-dep -y -q packagekit
mkdir /src && cd /src && apt-get source -q packagekit
cd /src/packagekit-*/
awk '/^(dnf5_dep|libdnf5_version|sdbus_cpp_dep) =/ { next }
  /^add_languages\(.cpp./ { skip = 1 }
  skip && /libdnf5-plugins/ { skip = 2; next }
  skip == 2 && /^\)/ { skip = 0; next }
  !skip' backends/dnf/meson.build >meson.dnf && mv meson.dnf backends/dnf/meson.build
if grep -q 'dnf5\|sdbus' backends/dnf/meson.build; then
  echo "the dnf5 plugin is still in backends/dnf/meson.build:"; cat backends/dnf/meson.build; exit 1
fi
# needed FILE...: the Debian packages that hold the libraries FILE loads.
needed() {
  LD_LIBRARY_PATH=/stage/usr/lib/x86_64-linux-gnu ldd "\$@" | sed -n 's/.* => \(\/[^ ]*\) .*/\1/p' |
    grep -v '^/stage/' | sort -u | while read -r lib; do
      real=\$(readlink -f "\$lib")
      dpkg -S "\$real" 2>/dev/null || dpkg -S "/usr\$real" 2>/dev/null || dpkg -S "\${real#/usr}" 2>/dev/null ||
        { echo "no package holds \$lib" >&2; exit 1; }
    done | sed 's/:.*//; s/,.*//' | sort -u
}
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

start=$(date +%s)
note "building PackageKit's dnf and zypp backends from Debian's source, once, in $dir"
unshare --mount --propagation private mmdebstrap --mode=root --variant=apt --include="$build_packages" \
  --customize-hook="copy-in $dir/build-inside.sh /" \
  --customize-hook='chroot "$1" sh /build-inside.sh' \
  --customize-hook="sync-out /stage $dir/stage" \
  "$suite" /dev/null "$@" "deb-src $mirror $suite main" "deb-src $mirror $suite-updates main" \
  >"$log" 2>&1 || fail "the build root or the build failed"
built=$(($(date +%s) - start))
[ -s "$dir/stage/packagekit-run-packages" ] && [ -x "$dir/stage/usr/libexec/packagekitd" ] &&
  [ -f "$dir/stage/usr/lib/x86_64-linux-gnu/packagekit-backend/libpk_backend_dnf.so" ] &&
  [ -f "$dir/stage/usr/lib/x86_64-linux-gnu/packagekit-backend/libpk_backend_zypp.so" ] ||
  fail "the build left no daemon or backend"
loaded=$(tr '\n' , <"$dir/stage/packagekit-run-packages")
rm "$dir/stage/packagekit-run-packages"
note "built in $built s; making the test root"

# The test root: the run-time packages, then what the build installed. The
# rpm database lives where Fedora's and openSUSE's rpm keep it, for rpm,
# libdnf and libzypp alike (Debian's rpm would use ~/.rpmdb).
unshare --mount --propagation private mmdebstrap --mode=root --variant=minbase \
  --include="$run_packages,${loaded%,}" \
  --customize-hook="sync-in $dir/stage /" \
  --customize-hook='mkdir -p "$1/etc/rpm" "$1/var/cache/PackageKit" "$1/var/lib/PackageKit" &&
    echo "%_dbpath /var/lib/rpm" >"$1/etc/rpm/macros" && chroot "$1" rpm --initdb && chroot "$1" ldconfig' \
  --customize-hook='! chroot "$1" sh -c "ldd /usr/libexec/packagekitd /usr/lib/*/packagekit-backend/*.so" | grep "not found"' \
  "$suite" "$dir/root" "$@" >>"$log" 2>&1 || fail "the test root could not be made"
rm -rf "$dir/stage"
printf '%s\n' "packagekit from Debian's source, backends dnf and zypp, $suite from $mirror" \
  "run-time packages: $run_packages,${loaded%,}" >"$dir/recipe.txt"
touch "$dir/done"
note "made in $(($(date +%s) - start)) s ($built s the build), $(du -sm "$dir/root" | cut -f 1) MB"
echo "$dir/root"
