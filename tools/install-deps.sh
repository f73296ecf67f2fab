#!/bin/sh
# Installs the Debian packages that building, running and testing need,
# only those that are missing. Runs apt-get as root (or through sudo).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
packages="cmake make g++ pkg-config
  qtbase5-dev qttranslations5-l10n libxcb1-dev
  rpm dpkg gdebi-core pkexec polkitd dbus-daemon util-linux e2fsprogs packagekit packagekit-tools
  xvfb xauth xdotool x11-utils x11-apps imagemagick poppler-utils fonts-dejavu-core strace locales libc-l10n
  musl-dev g++-i686-linux-gnu zstd libzstd-dev
  mmdebstrap arch-test gpg gpg-agent qemu-user-static ansible jq
  dbus-bin at-spi2-core python3-gi gir1.2-atspi-2.0
  $("$here/i686-ready.sh" --packages)"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing Debian packages:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# The i686 build takes the i386 Qt and musl (multiarch).
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
# A mirror in the middle of a sync serves index files that do not match
# their Release file for a while. Tried again once; if an index is still
# missing, the packages come from the release's own suite, so that a
# library's amd64 and i386 halves (Multi-Arch: same) take one version even
# where the security suite's index of one architecture did not download.
target=""
for try in 1 2; do
  $sudo apt-get update -qq && break
  if [ "$try" -eq 2 ]; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    taking=""
    [ -n "$codename" ] && target="-t $codename" taking=", taking $codename's own versions"
    echo "apt-get update failed twice (a mirror mid-sync?): installing from the package lists that did download$taking"
  else
    echo "apt-get update failed; trying again in 30 s"
    sleep 30
  fi
done
# shellcheck disable=SC2086
apt_install() { $sudo apt-get install -y -qq --no-install-recommends --no-remove "$@" >/dev/null; }
# Where a library's amd64 half is already at its security version, which no
# i386 package list that downloaded offers, the i386 packages cannot join
# (Multi-Arch: same), and nothing may be downgraded: the rest is installed
# alone, from every list, and only the i686 build and its tests are skipped.
i386="" amd64=""
for p in $missing; do
  case $p in *:i386) i386="$i386 $p" ;; *) amd64="$amd64 $p" ;; esac
done
# shellcheck disable=SC2086
if [ -n "$i386" ] && ! apt_install -s $target $missing 2>/dev/null && apt_install -s $amd64 2>/dev/null; then
  echo "Left out$i386: apt cannot install them beside this system's amd64 packages (an i386 package list missing, a mirror mid-sync?); the i686 build and its tests are skipped"
  [ -z "$amd64" ] || apt_install $amd64
  exit 0
fi
# shellcheck disable=SC2086
apt_install $target $missing
