#!/bin/bash
# bench/install_page_roads.sh BUILD_DIR
# The two ways a user who is not root installs an Ubuntu build from the
# wizard: pkexec with gdebi, and PackageKit (where pkexec is missing), with
# the real daemons on a private system bus inside tests/system/sandbox.sh
# and the demo .deb. From the click that enters the install page, the time
# until the install program's first output is on the page, and until the
# result is (bench/install_roads_probe.cpp, in turn, QOR_BENCH_RUNS rounds,
# default 5). Prints a Markdown section. Needs root for the sandbox.
# Not a test: no pass or fail; the numbers depend on the machine and its load.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --inside ]; then
  kit=$2 runs=$3
  useradd -M -d /tmp/bench-home -s /bin/sh qorbench && mkdir -p /tmp/bench-home && chown qorbench /tmp/bench-home
  . "$here/tests/system/bus_services.sh"
  write_polkit_rule qorbench /etc/polkit-1/rules.d/49-qor-bench.rules
  start_bus_services ""
  for _ in $(seq "$runs"); do
    for road in gdebi packagekit; do
      [ $road = packagekit ] && mv /usr/bin/pkexec /usr/bin/pkexec.away
      echo "$road $(runuser -u qorbench -- env -i HOME=/tmp/bench-home PATH=/usr/bin:/bin LANG=C.UTF-8 \
        XDG_RUNTIME_DIR=/tmp/bench-home "$kit/run-under-xvfb.sh" "$kit/probe" "$kit/qor-ubuntu-bench.deb" 2>/dev/null)"
      [ $road = packagekit ] && mv /usr/bin/pkexec.away /usr/bin/pkexec
      dpkg --purge qor >/dev/null 2>&1
    done
  done
  exit 0
fi

build=$(cd "$1" && pwd)
echo "## The install page's two roads for a user who is not root (wizard)"
echo
if [ "$(id -u)" -ne 0 ]; then
  echo "Skipped: the sandbox with its own system bus needs root."
  exit 0
fi
kit=$(mktemp -d /tmp/qor-bench-roads.XXXXXX)
trap 'rm -rf "$kit"' EXIT
# shellcheck disable=SC2046
g++ -std=c++17 -O2 -fPIC -o "$kit/probe" "$here/bench/install_roads_probe.cpp" -I"$here/wizard" -I"$build/config" \
  "$build/wizard/libqorwiz_core.a" $(pkg-config --cflags --libs Qt5Widgets Qt5PrintSupport Qt5DBus)
cp "$here/tests/run-under-xvfb.sh" "$kit/"
cp "$build"/demo/*_all.deb "$kit/qor-ubuntu-bench.deb"
chmod -R a+rX "$kit"
QOR_SANDBOX_DBUS=1 "$here/tests/system/sandbox.sh" "$0" --inside "$kit" "${QOR_BENCH_RUNS:-5}" >"$kit/times"

echo "The real wizard, as a user who is not root, with the real polkitd and packagekitd"
echo "(Debian 12, apt backend) on a private system bus, installing the demo .deb; the two"
echo "roads in turn, $(grep -c . "$kit/times") runs in all. From the click that enters the install page:"
echo "*first output* until the install program's first output is on the page, *result* until"
echo "the page shows the outcome. Medians, spread in brackets."
echo
echo "| road | first output s | result s | outcomes |"
echo "|---|---|---|---|"
. "$here/bench/stats.sh"
for road in gdebi packagekit; do
  name="pkexec with gdebi"
  [ $road = packagekit ] && name=PackageKit
  echo "| $name | $(awk -v r=$road '$1 == r { print $2 / 1000 }' "$kit/times" | stats) |" \
    "$(awk -v r=$road '$1 == r { print $3 / 1000 }' "$kit/times" | stats) |" \
    "$(awk -v r=$road '$1 == r { print $4 }' "$kit/times" | sort | uniq -c | awk '{ printf "%s%s %d", (NR > 1 ? ", " : ""), $2, $1 }') |"
done
