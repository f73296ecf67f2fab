#!/bin/sh
# build-packagekit-dnf5.sh: prints the folder of a Debian forky root with
# the two services through which Fedora 44 and later install a local RPM
# for a user who is not root:
#   - PackageKit 1.4.0 with its dnf5 backend (libdnf5), built from forky's
#     own packagekit source (Debian builds only its apt backend). Start it
#     with `packagekitd --backend=dnf5`.
#   - the dnf5 daemon, `dnf5daemon-server` (D-Bus name org.rpm.dnf.v0), from
#     forky's dnf5-server package, which D-Bus starts on the first call.
# Both ask polkitd 128, and lxpolkit is there to answer it in a desktop
# session. polkit 127 and later ship their agent helper without its setuid
# bit and start it from a systemd socket instead; the root has no systemd,
# so the helper gets back the mode that older polkit shipped.
#
# Like tools/build-packagekit-backends.sh (tools/packagekit-roots.sh holds
# what the two share), the root holds what installing needs at run time:
# the daemons, dnf5, rpm, dbus, polkitd, the MIME database, gnupg and what a
# stock GNOME desktop has of X11 (no Qt). The X server and the programs that
# drive it run outside.
#
# Made once per machine, recipe and mirror, in $QOR_PACKAGEKIT_DNF5_CACHE
# (default /var/cache/qor-packagekit-dnf5)/forky-<key>/root. The mirror is the
# one this machine's apt configuration names (tools/debian-mirror.sh), or
# $QOR_PACKAGEKIT_DNF5_MIRROR. Forky is Debian's testing release: a mirror
# may serve it with a Release file past its Valid-Until date while the
# packages are consistent, so that date is not checked. Needs root.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cached_root_tool=build-packagekit-dnf5
. "$here/cached-root.sh"
. "$here/packagekit-roots.sh"

cache=${QOR_PACKAGEKIT_DNF5_CACHE:-/var/cache/qor-packagekit-dnf5}
suite=forky
cache_mirror QOR_PACKAGEKIT_DNF5_MIRROR

# Every line that changes the result is in the key.
recipe_version=1
packagekit_aptopt='Acquire::Check-Valid-Until "false"'
build_packages=build-essential,meson,ninja-build,pkgconf,dpkg-dev,file,libglib2.0-dev,libpolkit-gobject-1-dev
build_packages=$build_packages,libsqlite3-dev,gettext,libsystemd-dev
# The backend, and the rpm plugin beside it by which rpm tells PackageKit
# that the system's packages changed (Fedora ships both).
dnf5_dev_packages='libdnf5-dev librpm-dev libsdbus-c++-dev'
desktop=$(sed '/^#/d' "$here/../tests/desktop_packages.txt")
run_packages=dnf5,dnf5-server,rpm,shared-mime-info,dbus,dbus-daemon,dbus-bin,libglib2.0-bin,polkitd,lxpolkit
run_packages=$run_packages,passwd,gnupg,$desktop
helper=/usr/lib/polkit-1/polkit-agent-helper-1
# Debian's libdnf5 ships its "local" plugin enabled, without createrepo_c,
# which the plugin runs after every transaction: each one would then end
# failed after it installed. Fedora ships that plugin in a package of its
# own (libdnf5-plugin-local, with createrepo_c), which a desktop does not
# have: off, as there.
local_plugin=/etc/dnf/libdnf5-plugins/local.conf
packagekit_root_hook="chmod 4755 \"\$1$helper\" &&
  sed -i '0,/^enabled *=/s/^enabled *=.*/enabled = false/' \"\$1$local_plugin\" && grep -qx 'enabled = false' \"\$1$local_plugin\""
packagekit_ldd_check='/usr/libexec/packagekitd /usr/lib/*/packagekit-backend/*.so /usr/sbin/dnf5daemon-server'

key=$(printf '%s\n' "$recipe_version" "$suite" "$mirror" "$packagekit_aptopt" "$build_packages" \
  "$dnf5_dev_packages" "$meson_options" "$run_packages" "$packagekit_root_hook" | cache_key 10)
dir=$cache/$suite-$key
[ -e "$dir/done" ] && { echo "$dir/root"; exit 0; }
[ "$(id -u)" -eq 0 ] || stop "needs root (mmdebstrap --mode=root, chroot)"
command -v mmdebstrap >/dev/null || stop "mmdebstrap not found: install the Debian package mmdebstrap"

make_root() {
  rm -rf "$dir"
  mkdir -p "$dir/stage"
  {
    packagekit_inside_prelude
    # The backend's name, as this source's meson options spell it.
    cat <<'EOF'
for options in meson.options meson_options.txt; do [ ! -e $options ] || break; done
sed -n '/packaging_backend/,/)/p' $options
sed -n '/packaging_backend/,/)/p' $options | grep -q "'dnf5'" || { echo "this packagekit source has no dnf5 backend"; exit 1; }
EOF
    echo "apt-get install -y -q $dnf5_dev_packages"
    echo "meson setup build-dnf5 $(echo $meson_options) -Dpackaging_backend=dnf5"
    cat <<'EOF'
ninja -C build-dnf5
DESTDIR=/stage meson install -C build-dnf5
needed $(find /stage -type f -exec sh -c 'file -b "$1" | grep -q "^ELF"' sh {} \; -print) >/stage/packagekit-run-packages
EOF
  } >"$dir/build-inside.sh"
  note "building PackageKit's dnf5 backend from forky's source, once, in $dir"
  printf '%s\n' "packagekit from Debian's source, backend dnf5; dnf5-server; $suite from $mirror" >"$dir/recipe.txt"
  packagekit_roots "$dir" "$suite" "$build_packages" "$run_packages" \
    "/usr/libexec/packagekitd /usr/lib/x86_64-linux-gnu/packagekit-backend/libpk_backend_dnf5.so" "deb $mirror $suite main"
}
cache_once "$cache" "$dir/done" make_root
echo "$dir/root"
