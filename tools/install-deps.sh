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

# shellcheck disable=SC2086
missing=$("$here/missing-packages.sh" $packages)
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
target="" stale=""
for try in 1 2; do
  $sudo apt-get update -qq && break
  if [ "$try" -eq 2 ]; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    taking="" stale=yes
    [ -n "$codename" ] && target="-t $codename" taking=", taking $codename's own versions"
    echo "apt-get update failed twice (a mirror mid-sync?): installing from the package lists that did download$taking"
  else
    echo "apt-get update failed; trying again in 30 s"
    sleep 30
  fi
done
# shellcheck disable=SC2086
apt_install() { $sudo apt-get install -y -qq --no-install-recommends --no-remove "$@" >/dev/null; }
i386="" native=""
for p in $missing; do
  case $p in *:i386) i386="$i386 $p" ;; *) native="$native $p" ;; esac
done
# shellcheck disable=SC2086
if [ -n "$i386" ] && ! apt_install -s $target $missing 2>/dev/null; then
  # Where this system's libraries are at their security versions, which no
  # i386 package list that downloaded offers, the i386 packages cannot join
  # them (Multi-Arch: same), and nothing may be downgraded. Nor can the
  # rest, where the security suite's lists went with its broken i386 one:
  # this architecture's lists alone are fetched again. The rest is then
  # installed alone, and only the i686 build and its tests are skipped.
  [ -z "$stale" ] || $sudo apt-get update -qq -o APT::Architectures="$(dpkg --print-architecture)" || true
  if apt_install -s $native 2>/dev/null; then
    echo "Left out$i386: apt cannot install them beside this system's packages (an i386 package list missing, a mirror mid-sync?); the i686 build and its tests are skipped"
    [ -z "$native" ] || apt_install $native
    exit 0
  fi
fi
# shellcheck disable=SC2086
apt_install $target $missing
