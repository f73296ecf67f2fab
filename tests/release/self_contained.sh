#!/bin/sh
# self_contained.sh WIZARD
# The release wizard asks the user's system only for what every X11 desktop
# since RHEL 8 has: no Qt, no C++ runtime, each NEEDED entry on the list
# below, and no glibc symbol version newer than 2.28.
set -u
wizard=$1
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
exit $((failures > 0))
