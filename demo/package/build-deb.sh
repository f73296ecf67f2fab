#!/bin/sh
# build-deb.sh CONTROL QOR_CLI QOR_UI WORKDIR OUTPUT
# The .deb twin of the demo RPM, byte-reproducible: fixed times, root owner.
set -eu
control=$1 cli=$2 ui=$3 work=$4 output=$5
rm -rf "$work"
mkdir -p "$work/root/DEBIAN" "$work/root/usr/bin"
cp "$control" "$work/root/DEBIAN/control"
cp "$cli" "$work/root/usr/bin/qor-cli"
cp "$ui" "$work/root/usr/bin/qor-ui"
chmod 0755 "$work/root/DEBIAN" "$work/root/usr/bin/qor-cli" "$work/root/usr/bin/qor-ui"
chmod 0644 "$work/root/DEBIAN/control"
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1575936000}
export SOURCE_DATE_EPOCH
find "$work/root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$work/root" "$output" >/dev/null
