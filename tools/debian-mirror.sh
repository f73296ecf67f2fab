#!/bin/sh
# debian-mirror.sh [security]: prints the Debian mirror that this machine's
# apt configuration names (/etc/apt/sources.list and sources.list.d, one-line
# .list and deb822 .sources files alike, read by apt itself): the first one
# given for a suite of Debian's archive, or with "security" for a suite of
# its security archive. Prints nothing and ends with status 1 when apt names
# none (a machine that is not Debian's, say): the caller then asks for one.
set -eu
want=${1:-archive}

# Debian's suites by codename and by alias; Ubuntu's and others' differ.
debian_suites='buster bullseye bookworm trixie forky duke sid
  oldoldstable oldstable stable testing unstable experimental'

# "mirror+file:PATH" names a file that lists mirrors, one per line (Debian's
# cloud images use one): the first of them.
first_listed() {
  path=${1#mirror+file:}
  path=${path#//}
  sed -n 's/^[[:space:]]*\([^#[:space:]][^[:space:]]*\).*/\1/p' "$path" 2>/dev/null | head -n 1
}

# Only the configured sources are wanted, not the indexes downloaded for
# them, which apt would take a second to read: it is told of none.
found=$(apt-get -o Dir::State::Lists=/nonexistent indextargets --no-release-info \
  --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
  while read -r uri suite; do
    codename=${suite%%[-/]*}
    case " $(echo $debian_suites) " in *" $codename "*) ;; *) continue ;; esac
    case $want:${suite#"$codename"} in
    archive: | archive:-updates | archive:-backports | archive:-proposed-updates) ;;
    security:-security | security:/updates) ;;
    *) continue ;;
    esac
    uri=${uri%/}
    case $uri in mirror+file:*) uri=$(first_listed "$uri") ;; esac
    [ -n "$uri" ] && echo "${uri%/}"
  done | head -n 1)
[ -n "$found" ] || exit 1
echo "$found"
