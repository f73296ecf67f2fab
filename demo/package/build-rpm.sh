#!/bin/sh
# build-rpm.sh SPEC SOURCEDIR WORKDIR OUTPUT
# Runs rpmbuild in a private top directory and database, so that nothing
# lands in the user's ~/.rpmdb, and copies the one package it makes to OUTPUT.
set -eu
spec=$1 sources=$2 work=$3 output=$4
rm -rf "$work"
mkdir -p "$work/db" "$work/tmp"
rpmbuild -bb --quiet --target i686 \
  --define "_topdir $work" --define "_dbpath $work/db" --define "_tmppath $work/tmp" \
  --define "_sourcedir $sources" "$spec" >"$work/rpmbuild.log" 2>&1 || {
    cat "$work/rpmbuild.log" >&2; exit 1; }
set -- "$work"/RPMS/i686/*.rpm
[ "$#" -eq 1 ] && [ -f "$1" ] || { echo "build-rpm.sh: expected one package, found: $*" >&2; exit 1; }
cp "$1" "$output"
