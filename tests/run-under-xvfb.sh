#!/bin/bash
# run-under-xvfb.sh COMMAND [ARG...]
# Runs COMMAND with DISPLAY naming a private Xvfb server of its own, so that
# tests can run in parallel, each with a real X server, and stops it after.
# QOR_XVFB_DPI=192: a screen as GNOME at a scale of 2 has it, at 192 dpi with
# Xft.dpi: 192 in the server's resources (as `xrdb -merge` sets it).
set -u
dpi=${QOR_XVFB_DPI:-} screen=1024x768x24
[ -n "$dpi" ] && screen="2560x1600x24 -dpi $dpi"

dir=$(mktemp -d)
# -noreset: a client that connects and leaves at once (the wizard checks the
# display that way) would otherwise make the server reset, refusing clients
# that connect meanwhile.
# shellcheck disable=SC2086
Xvfb -displayfd 3 -screen 0 $screen -nolisten tcp -noreset 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
# A cold start on a loaded machine can take many seconds; a fast one breaks
# out at once.
deadline=$((SECONDS + 60))
while [ "$SECONDS" -lt "$deadline" ]; do
  [ -s "$dir/display" ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.05
done
display=$(head -n 1 "$dir/display" 2>/dev/null)
if [ -z "$display" ]; then
  echo "run-under-xvfb.sh: Xvfb did not start:" >&2
  cat "$dir/xvfb.log" >&2
  kill "$xvfb" 2>/dev/null
  rm -rf "$dir"
  exit 1
fi
export DISPLAY=":$display"
unset QT_QPA_PLATFORM
[ -z "$dpi" ] || xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "Xft.dpi:	$dpi" || echo "no Xft.dpi" >&2
"$@"
rc=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
rm -rf "$dir"
exit "$rc"
