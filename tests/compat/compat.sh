#!/bin/bash
# The steps of tst_compat, which holds the rows and judges them.
# compat.sh root NAME "SUITE ARCH PACKAGES" MIRROR CACHE: prints the folder of
#   the root NAME, made by mmdebstrap once per machine, packages and mirror.
# compat.sh row ROOTDIR LAUNCHER XVFB_RUN RESULT MODE BACKEND WORD...: runs
#   LAUNCHER once in a throwaway overlay over ROOTDIR, in mount, PID and
#   network namespaces with an Xvfb of its own, and leaves in RESULT: status,
#   out, err, install.log, rpm-q (`rpm -q qor`'s status), dpkg-query (qor's
#   status), qor-cli (`qor-cli -v`), tmp (/tmp), qor.rpm, prerequisites-refused.
#   MODE text: WORDs are its command line; tty: WORDs typed on a terminal;
#   desktop: WORDs are keys typed into the wizard as root; user: the same as
#   a user whom polkit allows pkexec and PackageKit's installs (packagekitd
#   run with BACKEND); refused: with no rule and no agent, polkit refuses.
#   The wizard is closed by Return after a success, by Escape after a failure.
# QOR_QEMU_I386, where set, runs the root's i386 programs, registered for
# them alone in a user namespace of the step's own.
set -u
self=$(readlink -f "$0")
. "$(dirname "$self")/../system/bus_services.sh"
# The build's texts: QOR_BUILD_FACTS names its qor_build_facts.sh.
. "$QOR_BUILD_FACTS" || exit 1
cached_root_tool=compat
. "$(dirname "$self")/../../tools/cached-root.sh"

# in_ns COMMAND...: COMMAND in a mount namespace of its own; with qemu, as
# root of a user namespace that maps every id to itself (mmdebstrap and dpkg
# need them all), written from outside: the namespace waits to see its map.
in_ns() {
  [ -n "${QOR_QEMU_I386:-}" ] || { unshare --mount --propagation private "$@"; return; }
  unshare --user --mount --propagation private sh -c 'until [ -n "$(cat /proc/self/gid_map)" ]; do sleep 0.01; done
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
    printf "%b" ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$0:PF" \
      >/proc/sys/fs/binfmt_misc/register && exec "$@"' "$QOR_QEMU_I386" "$@" &
  local pid=$!
  while [ "$(readlink /proc/$pid/ns/user)" = "$(readlink /proc/self/ns/user)" ]; do sleep 0.01; done
  echo "0 0 4294967295" >/proc/$pid/uid_map && echo "0 0 4294967295" >/proc/$pid/gid_map
  wait $pid
}

case $1 in
root)
  name=$2 spec=$3 mirror=$4 cache=$5
  dir=$cache/$name-$(printf '%s %s' "$spec" "$mirror" | cache_key 8)
  # make_root SUITE ARCH PACKAGES
  make_root() {
    rm -rf "$dir" && mkdir -p "$dir" || exit 1
    note "making the $1 $2 root in $dir, once"
    SECONDS=0 log=$dir/mmdebstrap.log
    in_ns mmdebstrap --mode=root --variant=minbase --architectures="$2" --include="$3" \
      "$1" "$dir/root" "$mirror" >"$log" 2>&1 || fail "mmdebstrap failed"
    note "made in $SECONDS s, $(du -sm "$dir/root" | cut -f 1) MB"
  }
  # shellcheck disable=SC2086
  cache_once "$cache" "$dir/done" make_root $spec && echo "$dir/root"
  ;;
row)
  cd "$5" || exit 1
  in_ns unshare --pid --net --fork --mount-proc "$4" "$self" inside "$2" "$3" "${@:6}"
  ;;
inside) # ROOTDIR LAUNCHER MODE BACKEND WORD..., in RESULT
  rootdir=$2 launcher=$3 mode=$4 backend=$5 home=/root
  shift 5
  r=$(mktemp -d)
  mount -t tmpfs rows "$r" && mkdir "$r/up" "$r/wk" "$r/root" && r=$r/root &&
    mount -t overlay overlay -o "lowerdir=$rootdir,upperdir=$r/../up,workdir=$r/../wk" "$r" &&
    mount --rbind /dev "$r/dev" && mount -t proc proc "$r/proc" && mkdir -p "$r/tmp/.X11-unix" &&
    mount --bind /tmp/.X11-unix "$r/tmp/.X11-unix" && install -m 0755 "$launcher" "$r/root/qor-setup" || exit 1
  in_root() { chroot "$r" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin DISPLAY="$DISPLAY" "$@"; }
  as_runner() { in_root "$@"; }
  if [ "$mode" = user ] || [ "$mode" = refused ]; then
    home=/home/qor
    in_root useradd -m qor && install -m 0755 "$launcher" "$r$home/qor-setup" || exit 1
    [ "$mode" = refused ] || write_polkit_rule qor "$r/etc/polkit-1/rules.d/49-qor-compat.rules"
    # A system bus, polkitd and PackageKit of the row's own.
    mkdir -p "$r/run/dbus" && in_root dbus-daemon --system --fork --nopidfile || exit 1
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$r/run/dbus/system_bus_socket
    start_bus_services "$r" ${backend:+--backend=$backend} || exit 1
    as_runner() { chroot --userspec=qor:qor "$r" /usr/bin/env -i HOME=$home PATH=/usr/bin:/bin DISPLAY="$DISPLAY" "$@"; }
  fi
  log=$r$home/.qor/install.log
  case $mode in
  desktop | user | refused)
    as_runner sh -c "cd $home && exec ./qor-setup" </dev/null >out 2>err &
    pid=$!
    # Slow under qemu; Finish is the default button once the install is over.
    w=$(timeout 300 xdotool search --sync --onlyvisible --name "^$QOR_WINDOW_TITLE\$" | head -n 1)
    [ -n "$w" ] && xdotool windowfocus --sync "$w" key --delay 500 "$@"
    for _ in $(seq 600); do
      [ -n "$w" ] && kill -0 $pid 2>/dev/null || break
      grep -q "$QOR_RECORD_FINISHED" "$log" 2>/dev/null && xdotool windowfocus "$w" key Return 2>/dev/null
      grep -q "^$QOR_RECORD_ERROR_CODE" "$log" 2>/dev/null && xdotool windowfocus "$w" key Escape 2>/dev/null
      # A refused prerequisite check waits for an answer: the row has failed.
      xdotool search --onlyvisible --name '^Package Dependency Check$' >/dev/null 2>&1 &&
        xdotool search --onlyvisible --name . getwindowname %@ >prerequisites-refused 2>&1 && break
      sleep 1
    done
    kill $pid 2>/dev/null
    wait $pid
    ;;
  tty) printf '%s\n' "$*" | in_root script -qec "cd /root && exec ./qor-setup" /dev/null >out 2>err ;;
  *) in_root sh -c 'cd /root && exec ./qor-setup "$@"' qor-setup "$@" </dev/null >out 2>err ;;
  esac
  echo $? >status
  [ ! -e "$log" ] || cp "$log" install.log
  [ ! -e "$r/root/qor.rpm" ] || cp "$r/root/qor.rpm" qor.rpm
  in_root rpm -q qor >/dev/null 2>&1
  echo $? >rpm-q
  in_root dpkg-query -W -f='${Status}' qor >dpkg-query 2>/dev/null
  in_root qor-cli -v >qor-cli 2>&1
  ls "$r/tmp" >tmp
  ;;
esac
