#!/bin/bash
# bench/install_page_rpm_backends.sh [BUILD_DIR]
# The road of a user who is not root through PackageKit, on each backend the
# wizard meets, in the same run: the release RPM installer against the dnf
# and zypp backends of PackageKit 1.3.1 (RHEL's and openSUSE's, built from
# Debian 13's PackageKit source by tools/build-packagekit-backends.sh) and
# against the dnf5 backend of PackageKit 1.4.0 (Fedora's since 44, built from
# forky's source by tools/build-packagekit-dnf5.sh) and through the dnf5
# daemon (forky's dnf5daemon-server, tools/build-dnf5daemon-root.sh, a root
# without PackageKit, as RHEL 11 is to be), and the release Ubuntu
# installer against the apt backend of Debian 13 (PackageKit 1.3.1) and of
# forky (1.4.0), Debian's own packagekit. Each round is one step of
# tests/rpm_desktop/rpm_desktop_step.sh: a fresh overlay over its root, the
# real daemons, the installer driven from the keyboard under an Xvfb. From
# the key that enters the install page until the install log holds the
# result; QOR_BENCH_RUNS rounds of each (default 5), in turn. Prints a
# Markdown section. Needs root (namespaces, mmdebstrap); the two roots with
# the apt backend are made for the run and removed after it (about a minute
# each), the Ubuntu installer is built once into build-release-ubuntu.
# BUILD_DIR is unused: the release installers are their own builds.
# Not a test: no pass or fail; the numbers depend on the machine and its load.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
echo "## The install page through PackageKit (dnf, zypp, dnf5) and the dnf5 daemon, beside Debian's apt backend"
echo
if [ "$(id -u)" -ne 0 ]; then
  echo "Skipped: the roots, namespaces and daemons need root."
  exit 0
fi
runs=${QOR_BENCH_RUNS:-5}
step=$here/tests/rpm_desktop/rpm_desktop_step.sh
# The step takes the build's texts (the window title) from the release build.
export QOR_BUILD_FACTS=$here/build-release/config/qor_build_facts.sh
keys='Return Tab space Return'

rpm_root=$("$here/tools/build-packagekit-backends.sh")
dnf5_root=$("$here/tools/build-packagekit-dnf5.sh")
daemon_root=$("$here/tools/build-dnf5daemon-root.sh")
(cd "$here" && cmake --preset release >/dev/null && cmake --build --preset release >/dev/null)
ubuntu=$here/build-release-ubuntu
{ cmake --preset release -S "$here" -B "$ubuntu" -DQOR_PACKAGE_FILE_NAME=qor-3.1.1.1912102.ubuntu.amd64.deb &&
  cmake --build "$ubuntu" --target qor-setup; } >/dev/null

work=$(mktemp -d /var/tmp/qor-bench-rpm-backends.XXXXXX)
trap 'rm -rf "$work"' EXIT
# What a stock Debian desktop has for installing, as the compat table's
# trixie-stock root holds it. Forky, Debian's testing release, may be served
# with a Release file past its Valid-Until date.
desktop=$(sed '/^#/d' "$here/tests/desktop_packages.txt")
for suite in trixie forky; do
  unshare --mount --propagation private mmdebstrap --mode=root --variant=minbase \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="dbus,dbus-daemon,dbus-bin,libglib2.0-bin,polkitd,packagekit,passwd,shared-mime-info,$desktop" \
    $suite "$work/apt-$suite" "$("$here/tools/debian-mirror.sh")" >"$work/mmdebstrap.log" 2>&1 ||
    { echo "mmdebstrap $suite failed:"; tail -n 20 "$work/mmdebstrap.log"; exit 1; }
done

# Each road: its name, root, backend and installer.
roads="dnf $rpm_root dnf $here/build-release/qor-setup
zypp $rpm_root zypp $here/build-release/qor-setup
dnf5 $dnf5_root dnf5 $here/build-release/qor-setup
dnf5-daemon $daemon_root dnf5daemon $here/build-release/qor-setup
apt-trixie $work/apt-trixie apt $ubuntu/qor-setup
apt-forky $work/apt-forky apt $ubuntu/qor-setup"
for i in $(seq "$runs"); do
  echo "$roads" | while read -r road root backend installer; do
    r=$work/$road-$i
    # shellcheck disable=SC2086
    "$step" --display "$here/tests/run-under-xvfb.sh" "$root" "$r" "$backend" setup "$installer" $keys \
      >/dev/null 2>&1 </dev/null || true
    result=failed
    grep -q 'Installation Finished' "$r/install.log" 2>/dev/null && result=installed
    took=-
    [ -s "$r/entered" ] && [ -s "$r/ended" ] && took=$(($(cat "$r/ended") - $(cat "$r/entered")))
    echo "$road $took $result $(cut -d ' ' -f 1 "$r/backend" 2>/dev/null) $(tr ' ' _ <"$r/service" 2>/dev/null)"
  done
done >"$work/times"

echo "The release installers as a user who is not root, each round in a fresh overlay over a Debian"
echo "root with the real polkitd and packagekitd on a private system bus, driven from the keyboard"
echo "under an Xvfb: the RPM installer through the dnf, zypp and dnf5 backends and the dnf5 daemon, the Ubuntu installer"
echo "through Debian's own apt backend, in turn, $runs rounds each. From the key that enters the"
echo "install page until the install log holds the result (polled every 0.1 s). Medians, spread in"
echo "brackets. The installer's package is not signed."
echo
echo "| road | service | backend (as PackageKit names it) | result s | outcomes |"
echo "|---|---|---|---|---|"
. "$here/bench/stats.sh"
echo "$roads" | while read -r road _; do
  echo "| $road | $(awk -v r="$road" '$1 == r { print $5 }' "$work/times" | sort -u | tr _ ' ' | paste -sd /) |" \
    "$(awk -v r="$road" '$1 == r { print $4 }' "$work/times" | sort -u | paste -sd /) |" \
    "$(awk -v r="$road" '$1 == r && $2 != "-" { print $2 / 1000 }' "$work/times" | stats) |" \
    "$(awk -v r="$road" '$1 == r { print $3 }' "$work/times" | sort | uniq -c | awk '{ printf "%s%s %d", (NR > 1 ? ", " : ""), $2, $1 }') |"
done
