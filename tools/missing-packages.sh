#!/bin/sh
# missing-packages.sh PACKAGE...: prints those of the Debian packages named
# that are not installed, each after a space (nothing where all are).
for p in "$@"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || printf ' %s' "$p"
done
