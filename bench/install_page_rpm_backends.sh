#!/bin/bash
# bench/install_page_rpm_backends.sh [BUILD_DIR]
# The road of a user who is not root through PackageKit, on two backends in
# the same run: the release RPM installer against the dnf backend (Fedora's
# and RHEL's, built from Debian's PackageKit source by
# tools/build-packagekit-backends.sh) and the release Ubuntu installer
# against Debian 13's own apt backend. Each round is one step of
# tests/rpm_desktop/rpm_desktop_step.sh: a fresh overlay over its root, the
# real daemons, the installer driven from the keyboard under an Xvfb. From
# the key that enters the install page until the install log holds the
# result; QOR_BENCH_RUNS rounds of each (default 5), in turn. Prints a
# Markdown section. Needs root (namespaces, mmdebstrap); the Debian 13 root
# with the apt backend is made for the run and removed after it (about a
# minute), the Ubuntu installer is built once into build-release-ubuntu.
# BUILD_DIR is unused: the release installers are their own builds.
# Not a test: no pass or fail; the numbers depend on the machine and its load.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
echo "## The install page through PackageKit: the dnf backend beside Debian 13's apt backend"
echo
if [ "$(id -u)" -ne 0 ]; then
  echo "Skipped: the roots, namespaces and daemons need root."
  exit 0
fi
runs=${QOR_BENCH_RUNS:-5}
step=$here/tests/rpm_desktop/rpm_desktop_step.sh
keys='Return Tab space Return'

rpm_root=$("$here/tools/build-packagekit-backends.sh")
(cd "$here" && cmake --preset release >/dev/null && cmake --build --preset release >/dev/null)
ubuntu=$here/build-release-ubuntu
{ cmake --preset release -S "$here" -B "$ubuntu" -DQOR_PACKAGE_FILE_NAME=qor-3.1.1.1912102.ubuntu.amd64.deb &&
  cmake --build "$ubuntu" --target qor-setup; } >/dev/null

work=$(mktemp -d /var/tmp/qor-bench-rpm-backends.XXXXXX)
trap 'rm -rf "$work"' EXIT
# What a stock Debian 13 desktop has for installing, as the compat table's
# trixie-stock root holds it.
desktop=$(sed '/^#/d' "$here/tests/desktop_packages.txt")
unshare --mount --propagation private mmdebstrap --mode=root --variant=minbase \
  --include="dbus,dbus-daemon,dbus-bin,polkitd,packagekit,passwd,shared-mime-info,$desktop" \
  trixie "$work/apt-root" "$("$here/tools/debian-mirror.sh")" >"$work/mmdebstrap.log" 2>&1 ||
  { echo "mmdebstrap failed:"; tail -n 20 "$work/mmdebstrap.log"; exit 1; }

for i in $(seq "$runs"); do
  for road in dnf apt; do
    if [ $road = dnf ]; then set -- "$rpm_root" dnf "$here/build-release/qor-setup"
    else set -- "$work/apt-root" apt "$ubuntu/qor-setup"; fi
    r=$work/$road-$i
    # shellcheck disable=SC2086
    "$step" --display "$here/tests/run-under-xvfb.sh" "$1" "$r" "$2" setup "$3" $keys >/dev/null 2>&1 || true
    result=failed
    grep -q 'Installation Finished' "$r/install.log" 2>/dev/null && result=installed
    if [ -s "$r/entered" ] && [ -s "$r/ended" ]; then
      echo "$road $(($(cat "$r/ended") - $(cat "$r/entered"))) $result $(cat "$r/backend")"
    else
      echo "$road - $result $(cat "$r/backend" 2>/dev/null)"
    fi
  done
done >"$work/times"

echo "The release installers as a user who is not root, each round in a fresh overlay over a Debian 13"
echo "root with the real polkitd and packagekitd on a private system bus, driven from the keyboard"
echo "under an Xvfb: the RPM installer through the dnf backend, the Ubuntu installer through the apt"
echo "backend, in turn, $runs rounds each. From the key that enters the install page until the"
echo "install log holds the result (polled every 0.1 s). Medians, spread in brackets."
echo
echo "| backend (as PackageKit names it) | result s | outcomes |"
echo "|---|---|---|"
. "$here/bench/stats.sh"
for road in dnf apt; do
  echo "| $(awk -v r=$road '$1 == r { print $4 }' "$work/times" | sort -u | paste -sd /) |" \
    "$(awk -v r=$road '$1 == r && $2 != "-" { print $2 / 1000 }' "$work/times" | stats) |" \
    "$(awk -v r=$road '$1 == r { print $3 }' "$work/times" | sort | uniq -c | awk '{ printf "%s%s %d", (NR > 1 ? ", " : ""), $2, $1 }') |"
done
