#!/bin/sh
# self_contained.sh WIZARD XVFB_RUN SCREENSHOT_DIR SOURCE_DIR CMAKE
# The release wizard asks the user's system only for what every X11 desktop
# since RHEL 8 has: no Qt, no C++ runtime, each NEEDED entry on the list
# below, and no glibc symbol version newer than 2.28. It opens its window on
# today's desktops (the rows below), and its release build outlives the
# qtbase source that Debian's archive serves today.
set -u

if [ "${1:-}" = --row ]; then # WIZARD KEYS SHOT_PREFIX, under an Xvfb: prints "size WxH", "status N"
  "$2" >/dev/null 2>"$HOME/err" &
  pid=$! keys=$3 shot=$4
  w=$(timeout 60 xdotool search --sync --onlyvisible --pid $pid 2>/dev/null | head -n 1)
  if [ -n "$w" ]; then
    sleep 1
    xdotool getwindowgeometry "$w" | awk '$1 == "Geometry:" { print "size " $2 }'
    n=0
    for key in $keys; do
      # Each page before it is left; the installation's end before Finish.
      if [ "$key" = Return ]; then
        n=$((n + 1))
        [ $n -lt 3 ] || for _ in $(seq 300); do grep -qs 'Installation Finished' "$HOME/.qor/install.log" && break; sleep 0.2; done
        [ -z "$shot" ] || { sleep 0.5; import -window "$w" "$shot-$n.png"; }
      fi
      xdotool windowfocus --sync "$w" key "$key"
      sleep 0.5
    done
  fi
  wait $pid
  echo "status $?"
  cat "$HOME/err"
  exit 0
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

# The wizard under an Xvfb of each row's own, with the row's variables (a
# stand-in for every package tool, nothing installed): as on a Wayland
# desktop whose Xwayland serves DISPLAY, on one with no X display at all,
# and at a scale of 2. Keys go to the window; the last row's window is twice
# the size of the one above it.
# variables                                       | dpi | keys                           | status | window
rows='
QT_QPA_PLATFORM=wayland                           | 96  | Escape                         | 3      | opens
QT_QPA_PLATFORM=wayland;xcb                       | 96  | Escape                         | 3      | opens
DISPLAY= QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=wayland-0 | 96 | -                  | 1      | none
-                                                 | 96  | Escape                         | 3      | opens
-                                                 | 192 | Return Tab space Return Return | 0      | twice the size
'
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/bin" "$tmp/home" "$shots"
for tool in rpm dpkg pkexec gpk-install-local-file; do printf '#!/bin/sh\necho package installed\n' >"$tmp/bin/$tool"; done
chmod +x "$tmp/bin/"*
size96=
while IFS='|' read -r vars dpi keys status window; do
  vars=$(echo $vars) dpi=$(echo $dpi) keys=$(echo $keys) status=$(echo $status) window=$(echo $window)
  [ -n "$dpi" ] || continue
  [ "$vars" = - ] && vars=
  [ "$dpi" = 192 ] && shot=$shots/release-2x-page || shot=
  result=$(rm -rf "$tmp/home/.qor"; env HOME="$tmp/home" PATH="$tmp/bin:/usr/bin:/bin" QOR_XVFB_DPI="${dpi#96}" \
    "$xvfb_run" sh -c '[ -z "$1" ] || export $1; exec "$0" --row "$2" "$3" "$4"' \
    "$0" "$vars" "$wizard" "$keys" "$shot" 2>&1)
  size=$(echo "$result" | sed -n 's/^size //p')
  verdict=ok
  echo "$result" | grep -qx "status $status" || verdict="FAIL: expected status $status"
  case $window in
  opens) [ -n "$size" ] || verdict="FAIL: no window" ;;
  none) [ -z "$size" ] && echo "$result" | grep -q 'cannot open the X display' || verdict="FAIL: not the no-display road" ;;
  twice*) w=${size%x*} h=${size#*x} w96=${size96%x*} h96=${size96#*x}
    [ -n "$size" ] && [ $((w * 10)) -ge $((w96 * 18)) ] && [ $((w * 10)) -le $((w96 * 22)) ] &&
      [ $((h * 10)) -ge $((h96 * 18)) ] && [ $((h * 10)) -le $((h96 * 22)) ] ||
      verdict="FAIL: $size at $dpi dpi, $size96 at 96" ;;
  esac
  [ -z "$vars" ] && [ "$dpi" = 96 ] && size96=$size
  echo "$verdict: '$vars' at $dpi dpi: window $size, $(echo "$result" | grep '^status')"
  [ "$verdict" = ok ] || { echo "$result"; failures=$((failures + 1)); }
done <<ROWS
$rows
ROWS

# The release build where the pinned qtbase source is gone from Debian's
# archive: it takes the one the archive serves, says which, and builds.
# Offline, the static Qt built for that one serves.
gone=5.15.8+dfsg-11+deb12u1
if QOR_QT_SOURCE_VERSION=$gone "$cmake" -S "$src" -B "$tmp/build" -DQOR_SELF_CONTAINED_WIZARD=ON -DBUILD_TESTING=OFF \
     >"$tmp/build.log" 2>&1 && QOR_QT_SOURCE_VERSION=$gone "$cmake" --build "$tmp/build" >>"$tmp/build.log" 2>&1 &&
   grep -q "names qtbase-opensource-src $gone, which Debian's archive no longer serves" "$tmp/build.log" &&
   [ -x "$tmp/build/qor-setup" ]; then
  echo "ok: a release built with QOR_QT_SOURCE_VERSION=$gone: $(grep -A1 "names qtbase" "$tmp/build.log" | tail -n 1)"
else
  echo "FAIL: the release build with QOR_QT_SOURCE_VERSION=$gone:"; tail -n 20 "$tmp/build.log"
  failures=$((failures + 1))
fi
if root=$(unshare --net "$src/tools/build-static-qt.sh" 2>"$tmp/offline.log") && [ -d "$root" ]; then
  echo "ok: offline, the static Qt in $root"
else
  echo "FAIL: offline, no static Qt:"; cat "$tmp/offline.log"
  failures=$((failures + 1))
fi
exit $((failures > 0))
