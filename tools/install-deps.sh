#!/bin/sh
# Installs the Debian packages that building, running and testing need,
# only those that are missing. Runs apt-get as root (or through sudo).
set -eu
packages="cmake make g++ pkg-config
  qtbase5-dev qttranslations5-l10n libxcb1-dev
  rpm dpkg gdebi-core pkexec polkitd dbus-daemon util-linux packagekit packagekit-tools
  xvfb xauth xdotool x11-utils x11-apps imagemagick poppler-utils fonts-dejavu-core strace"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing Debian packages:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
