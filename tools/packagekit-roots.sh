# shellcheck shell=sh
# packagekit-roots.sh: sourced (after cached-root.sh) by the tools that build
# PackageKit's RPM backends from a Debian release's own packagekit source
# and put them into a root that runs them: tools/build-packagekit-backends.sh
# (Debian 13: dnf and zypp) and tools/build-packagekit-dnf5.sh (forky: dnf5).
#
# The backends are built in a throwaway build root (mmdebstrap's target is
# /dev/null). Only what `meson install` writes comes out, with the names of
# the Debian packages its programs and libraries load. The test root then
# holds what installing needs at run time and nothing to build with.

# What the daemon is built with: no systemd (the roots have none), nothing
# that only a desktop's session or the documentation needs.
meson_options='--prefix=/usr --sysconfdir=/etc --localstatedir=/var -Dsystemd=false -Doffline_update=false
  -Dgobject_introspection=false -Dman_pages=false -Dgtk_doc=false -Dbash_completion=false
  -Dbash_command_not_found=false -Dgstreamer_plugin=false -Dgtk_module=false -Dcron=false
  -Dpython_backend=false -Ddaemon_tests=false'

# packagekit_inside_prelude: the first lines of a build root's script: apt
# without questions and with the deb-src twins of the root's apt lines, the
# packagekit source unpacked in /src with Debian's patches and its build
# dependencies installed, and needed FILE..., which
# prints the Debian packages that hold the libraries FILE loads (those of
# /stage aside).
packagekit_inside_prelude() {
  cat <<'EOF'
set -eu
export DEBIAN_FRONTEND=noninteractive
sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/sources.list
apt-get update -q
apt-get build-dep -y -q packagekit
mkdir /src && cd /src && apt-get source -q packagekit
cd /src/packagekit-*/
needed() {
  LD_LIBRARY_PATH=/stage/usr/lib/x86_64-linux-gnu ldd "$@" | sed -n 's/.* => \(\/[^ ]*\) .*/\1/p' |
    grep -v '^/stage/' | sort -u | while read -r lib; do
      real=$(readlink -f "$lib")
      dpkg -S "$real" 2>/dev/null || dpkg -S "/usr$real" 2>/dev/null || dpkg -S "${real#/usr}" 2>/dev/null ||
        { echo "no package holds $lib" >&2; exit 1; }
    done | sed 's/:.*//; s/,.*//' | sort -u
}
EOF
}

# packagekit_roots DIR SUITE BUILD_PACKAGES RUN_PACKAGES BUILT SOURCE...:
# the build root (BUILD_PACKAGES) runs DIR/build-inside.sh, which installs
# into /stage and lists in /stage/packagekit-run-packages the Debian
# packages that what it built loads; each of the files BUILT (a list of
# paths) must come out. Then the test root DIR/root: RUN_PACKAGES, those
# packages, and what was built. SOURCE...: the apt lines of both roots.
# $packagekit_aptopt (a line of apt's configuration) goes to both roots,
# $packagekit_root_hook (a command with the test root in $1) runs last in
# the test root, and $packagekit_ldd_check names the test root's programs
# whose libraries must all be found.
packagekit_roots() {
  pk_dir=$1 pk_suite=$2 pk_build=$3 pk_run=$4 pk_built=$5
  shift 5
  log=$pk_dir/build.log
  pk_start=$(date +%s)
  unshare --mount --propagation private mmdebstrap --mode=root --variant=apt ${packagekit_aptopt:+"--aptopt=$packagekit_aptopt"} \
    --include="$pk_build" \
    --customize-hook="copy-in $pk_dir/build-inside.sh /" \
    --customize-hook='chroot "$1" sh /build-inside.sh' \
    --customize-hook="sync-out /stage $pk_dir/stage" \
    "$pk_suite" /dev/null "$@" >"$log" 2>&1 ||
    fail "the build root or the build failed"
  pk_took=$(($(date +%s) - pk_start))
  [ -s "$pk_dir/stage/packagekit-run-packages" ] || fail "the build listed no run-time packages"
  for pk_file in $pk_built; do
    [ -e "$pk_dir/stage$pk_file" ] || fail "the build left no $pk_file"
  done
  pk_loaded=$(tr '\n' , <"$pk_dir/stage/packagekit-run-packages")
  rm "$pk_dir/stage/packagekit-run-packages"
  note "built in $pk_took s; making the test root"

  # The rpm database lives where Fedora's and openSUSE's rpm keep it, for
  # rpm, libdnf, libdnf5 and libzypp alike (Debian's rpm would use ~/.rpmdb).
  unshare --mount --propagation private mmdebstrap --mode=root --variant=minbase ${packagekit_aptopt:+"--aptopt=$packagekit_aptopt"} \
    --include="$pk_run,${pk_loaded%,}" \
    --customize-hook="sync-in $pk_dir/stage /" \
    --customize-hook='mkdir -p "$1/etc/rpm" "$1/var/cache/PackageKit" "$1/var/lib/PackageKit" &&
      echo "%_dbpath /var/lib/rpm" >"$1/etc/rpm/macros" && chroot "$1" rpm --initdb && chroot "$1" ldconfig' \
    --customize-hook="! chroot \"\$1\" sh -c 'ldd ${packagekit_ldd_check:-/usr/libexec/packagekitd}' | grep 'not found'" \
    ${packagekit_root_hook:+"--customize-hook=$packagekit_root_hook"} \
    "$pk_suite" "$pk_dir/root" "$@" >>"$log" 2>&1 || fail "the test root could not be made"
  rm -rf "$pk_dir/stage"
  printf '%s\n' "run-time packages: $pk_run,${pk_loaded%,}" >>"$pk_dir/recipe.txt"
  note "made in $(($(date +%s) - pk_start)) s ($pk_took s the build), $(du -sm "$pk_dir/root" | cut -f 1) MB"
}
