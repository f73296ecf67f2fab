#!/bin/sh
# self_contained.sh WIZARD SCREENSHOT RESULT: a step of tst_self_contained,
# under an Xvfb. Starts WIZARD and leaves in RESULT its output (out), its
# exit status (status) and, where its window showed, that window's size
# (size, WxH), taken before the window is shot into SCREENSHOT (if named)
# and closed with Escape.
"$1" >"$3/out" 2>&1 &
w=$(timeout 60 xdotool search --sync --onlyvisible --pid $! | head -n 1)
if [ -n "$w" ]; then
  sleep 1
  xdotool getwindowgeometry "$w" | sed -n 's/ *Geometry: //p' >"$3/size"
  [ -z "$2" ] || import -window "$w" "$2"
  xdotool windowfocus --sync "$w" key Escape
fi
wait $!
echo $? >"$3/status"
