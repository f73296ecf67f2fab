#!/bin/sh
# self_contained.sh WIZARD XVFB_RUN SCREENSHOT_DIR SOURCE_DIR CMAKE
# The release wizard asks the user's system only for what every X11 desktop
# since RHEL 8 has: no Qt, no C++ runtime, each NEEDED entry on the list
# below, and no glibc symbol version newer than 2.28. It opens its window on
# today's desktops, and its release build outlives today's qtbase source.
set -u
if [ "$1" = --row ]; then # WIZARD SCREENSHOT, under an Xvfb: prints "size WxH" and "status N"
  "$2" 2>&1 &
  w=$(timeout 60 xdotool search --sync --onlyvisible --pid $! | head -n 1)
  [ -z "$w" ] || { sleep 1; xdotool getwindowgeometry "$w" | sed -n 's/ *Geometry: /size /p'
    [ -z "$3" ] || import -window "$w" "$3"; xdotool windowfocus --sync "$w" key Escape; }
  wait $!; echo "status $?"; exit 0
fi
wizard=$1 xvfb_run=$2 shots=$3 src=$4 cmake=$5
if [ ! -f "$wizard" ] && [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: $wizard is built as root only (cmake --preset release && cmake --build --preset release)"; exit 77
fi
[ -f "$wizard" ] || { echo "FAIL: $wizard does not exist: build it with cmake --preset release && cmake --build --preset release"; exit 1; }
allowed='libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 ld-linux-x86-64.so.2
  libX11.so.6 libX11-xcb.so.1 libxcb.so.1 libxcb-randr.so.0 libxcb-render.so.0 libxcb-shape.so.0
  libxcb-shm.so.0 libxcb-sync.so.1 libxcb-xfixes.so.0 libxcb-xkb.so.1
  libxkbcommon.so.0 libxkbcommon-x11.so.0 libfontconfig.so.1 libfreetype.so.6 libdbus-1.so.3'
failures=0
needed=$(objdump -p "$wizard" | awk '$1 == "NEEDED" { print $2 }')
[ -n "$needed" ] || { echo "FAIL: no NEEDED entries read from $wizard"; exit 1; }
for lib in $needed; do
  case " $(echo $allowed) " in
  *" $lib "*) echo "ok: NEEDED $lib" ;;
  *) echo "FAIL: NEEDED $lib is not on every desktop"; failures=$((failures + 1)) ;;
  esac
done
newest=$(objdump -T "$wizard" | grep -o 'GLIBC_[0-9.]*' | sort -Vu | tail -n 1)
[ -n "$newest" ] || { echo "FAIL: no GLIBC_ versions read from $wizard"; exit 1; }
if [ "$(printf '%s\n' "$newest" GLIBC_2.28 | sort -V | tail -n 1)" = GLIBC_2.28 ]; then
  echo "ok: newest glibc symbol version $newest"
else
  echo "FAIL: newest glibc symbol version $newest, above GLIBC_2.28:"
  objdump -T "$wizard" | grep -E 'GLIBC_(2\.(29|[3-9][0-9])|[3-9])' | awk '{ print "  " $NF, $(NF-1) }'
  failures=$((failures + 1))
fi
# Versioned references to a C++ runtime would fail where the system's is older.
if objdump -T "$wizard" | grep -qE 'GLIBCXX_|CXXABI_|GCC_[0-9]'; then
  echo "FAIL: references to the system's C++ runtime:"
  objdump -T "$wizard" | grep -E 'GLIBCXX_|CXXABI_|GCC_[0-9]' | awk '{ print "  " $NF, $(NF-1) }' | head
  failures=$((failures + 1))
fi

# Under an Xvfb of each row's own, with the row's variables: a Wayland
# desktop whose Xwayland serves DISPLAY, one with no X display, and a scale
# of 2, where the window is twice the size of the row above it.
# variables                                                | dpi | status | window
rows='
QT_QPA_PLATFORM=wayland                                    | 96  | 3      | opens
DISPLAY= QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=wayland-0 | 96  | 1      | none
-                                                          | 96  | 3      | opens
-                                                          | 192 | 3      | twice
'
while IFS='|' read -r vars dpi status window; do
  vars=$(echo $vars) dpi=$(echo $dpi) window=$(echo $window)
  [ -n "$dpi" ] || continue
  [ $dpi = 192 ] && shot=$shots/release-welcome@2x.png || shot=
  result=$(QOR_XVFB_DPI=${dpi#96} "$xvfb_run" env ${vars#-} "$0" --row "$wizard" "$shot" 2>&1)
  size=$(echo "$result" | sed -n 's/^size //p') verdict=ok
  echo "$result" | grep -qx "status $(echo $status)" || verdict=FAIL
  case $window in
  opens) [ -n "$size" ] || verdict=FAIL ;;
  none) [ -z "$size" ] && echo "$result" | grep -q 'cannot open the X display' || verdict=FAIL ;;
  twice) echo "$size $before" | tr x ' ' | awk '{ exit !($1 > 1.8 * $3 && $1 < 2.2 * $3 && $2 > 1.8 * $4 && $2 < 2.2 * $4) }' ||
    verdict=FAIL ;;
  esac
  before=$size
  echo "$verdict: ${vars#-} at $dpi dpi: window ${size:-none}, $(echo "$result" | grep '^status')"
  [ $verdict = ok ] || { echo "$result"; failures=$((failures + 1)); }
done <<ROWS
$rows
ROWS

# A release built where the pinned qtbase source is gone from Debian's
# archive takes the one it serves, and says so; offline, the static Qt
# built for that one serves.
tmp=$(mktemp -d)
gone=5.15.8+dfsg-11+deb12u1
if QOR_QT_SOURCE_VERSION=$gone "$cmake" -S "$src" -B "$tmp" -DQOR_SELF_CONTAINED_WIZARD=ON -DBUILD_TESTING=OFF \
   >"$tmp.log" 2>&1 && QOR_QT_SOURCE_VERSION=$gone "$cmake" --build "$tmp" >>"$tmp.log" 2>&1 && [ -x "$tmp/qor-setup" ] &&
   grep -A 1 "names qtbase-opensource-src $gone, which Debian's archive no longer serves" "$tmp.log"; then
  echo "ok: built with QOR_QT_SOURCE_VERSION=$gone"
else
  echo "FAIL: the release build with QOR_QT_SOURCE_VERSION=$gone:"; tail -n 20 "$tmp.log"; failures=$((failures + 1))
fi
unshare --net "$src/tools/build-static-qt.sh" >"$tmp.log" 2>&1 && echo "ok: offline: $(cat "$tmp.log")" ||
  { echo "FAIL: offline: $(cat "$tmp.log")"; failures=$((failures + 1)); }
rm -rf "$tmp" "$tmp.log"
exit $((failures > 0))
