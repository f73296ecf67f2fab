#!/bin/sh
# gpk-install-local-file FILE: stands in for GNOME PackageKit's tool, which
# Debian 12 no longer ships. Like the real one it has PackageKit install the
# file, with polkit deciding whether this user may. pkcon says "Failed to
# contact PackageKit" and still exits 0 when there is no daemon: that must
# count as a failure here, or a missing service would look like success.
set -u
[ $# -eq 1 ] || { echo "usage: gpk-install-local-file FILE" >&2; exit 2; }
report=$(mktemp)
pkcon -y --plain install-local "$1" >"$report" 2>&1 </dev/null
rc=$?
cat "$report"
if grep -q "Failed to contact PackageKit" "$report"; then
  rc=1
fi
rm -f "$report"
exit "$rc"
