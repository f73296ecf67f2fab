#!/bin/bash
# compat.sh SOURCE_DIR WORK_DIR CMAKE LAUNCHER DEMO_RPM XVFB_RUN
# The installer on the systems its users have: fresh Debian roots made by
# mmdebstrap, cached under $QOR_COMPAT_CACHE (default /var/cache/qor-compat)
# so that only the first run downloads. LAUNCHER is the x86_64 release
# launcher; the i686 one is built here into WORK_DIR with cmake/i686.cmake.
# Each row runs in a throwaway overlay over its root, in namespaces of its
# own (user, mount, PID, network), with an Xvfb of its own; neither the
# cached root nor the host changes. Where the kernel runs no 32-bit code,
# i386 programs run under qemu-i386-static, registered in the namespace only;
# the wizard's row is then skipped, saying why.
set -u
self=$(readlink -f "$0")

# root            | build  | command                | status | outcome
rows='
bullseye-amd64    | x86_64 | help                   | 0      | same output as on the build machine
bullseye-amd64    | x86_64 | extract /root/qor.rpm  | 0      | /root/qor.rpm holds the package
bullseye-amd64    | x86_64 | accepteula             | 0      | installed by rpm -ivh
bookworm-i386     | i686   | help                   | 0      | same output as on the build machine
bookworm-i386     | i686   | extract /root/qor.rpm  | 0      | /root/qor.rpm holds the package
bookworm-i386     | i686   | accepteula             | 0      | installed by rpm -ivh
bookworm-i386     | i686   | (desktop) Escape       | 0      | nothing installed, files removed
bookworm-i386     | i686   | (desktop) install      | 0      | installed by the wizard, Finish
'
# suite, architecture and packages of each root
root_bullseye_amd64='bullseye amd64 rpm'
root_bookworm_i386='bookworm i386 rpm,libqt5widgets5,libqt5printsupport5,fonts-dejavu-core'
title='Pellandor Tolmerin 3.1.1.1912102 Setup'

trim() { local s=${1#"${1%%[! ]*}"}; printf '%s' "${s%"${s##*[! ]}"}"; }

if [ "${1:-}" = --inside ]; then # ROOTDIR LAUNCHER DEMO_RPM COMMAND STATUS OUTCOME EXPECTED_OUT
  rootdir=$2 launcher=$3 demo_rpm=$4 command=$5 status=$6 outcome=$7 expected_out=$8
  mnt=$(mktemp -d)
  mount -t tmpfs rows "$mnt" && mkdir "$mnt/up" "$mnt/wk" "$mnt/root" &&
    mount -t overlay overlay -o "lowerdir=$rootdir,upperdir=$mnt/up,workdir=$mnt/wk" "$mnt/root" &&
    mount --rbind /dev "$mnt/root/dev" && mount -t proc proc "$mnt/root/proc" &&
    mkdir -p "$mnt/root/tmp/.X11-unix" && mount --bind /tmp/.X11-unix "$mnt/root/tmp/.X11-unix" &&
    install -m 0755 "$launcher" "$mnt/root/root/qor-setup" || { echo "cannot set up the root"; exit 1; }
  r=$mnt/root
  in_root() { chroot "$r" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
  failures=0
  fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
  if [ "${command#(desktop)}" != "$command" ]; then
    in_root DISPLAY="$DISPLAY" sh -c 'cd /root && exec ./qor-setup' </dev/null >out 2>err &
    pid=$!
    # Under qemu the wizard takes a while to show up.
    window=$(timeout 300 xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1)
    [ -n "$window" ] || { fail "no wizard window"; cat out err; kill $pid; exit 1; }
    if [ "$command" = "(desktop) Escape" ]; then
      xdotool windowfocus --sync "$window" key Escape
    else # Next, tick the agreement, Next: the install runs; then Finish
      xdotool windowfocus --sync "$window" key --delay 500 Return Tab space Return
    fi
    for _ in $(seq 1800); do
      [ "$command" = "(desktop) Escape" ] && break
      grep -q 'Installation Finished' "$r/root/.qor/install.log" 2>/dev/null && break
      sleep 0.1
    done
    for _ in $(seq 120); do
      kill -0 $pid 2>/dev/null || break
      xdotool windowfocus "$window" key Return 2>/dev/null
      sleep 1
    done
    kill -0 $pid 2>/dev/null && { fail "the launcher did not end"; kill $pid; }
    wait $pid
  else
    # shellcheck disable=SC2086
    in_root sh -c 'cd /root && exec ./qor-setup "$@"' qor-setup $command </dev/null >out 2>err
  fi
  got=$?
  [ "$got" -eq "$status" ] || fail "exit status $got, expected $status"
  case $outcome in
  "same output as on the build machine")
    [ "$(cat out; echo .)" = "$expected_out." ] || { fail "output differs:"; diff <(echo "$expected_out") out; } ;;
  "/root/qor.rpm holds the package")
    cmp -s "$r/root/qor.rpm" "$demo_rpm" || fail "/root/qor.rpm is not the package" ;;
  "nothing installed, files removed")
    in_root rpm -q qor >/dev/null 2>&1 && fail "qor installed"
    [ -z "$(ls "$r/tmp" | grep qor)" ] || fail "files left: $(ls "$r/tmp")"
    printf '\nInstallation Finished\n\n\n' | cmp -s - <(tail -c 25 out) || fail "launcher output" ;;
  installed*)
    in_root rpm -q qor >/dev/null || fail "rpm does not know qor"
    [ "$(in_root qor-cli -v | tail -n 1)" = 3.1.1.1912102 ] || fail "qor-cli -v does not answer"
    printf '\nInstallation Finished\n\n\n' | cmp -s - <(tail -c 25 out) || fail "launcher output"
    case $outcome in *wizard*)
      log=$(cat "$r/root/.qor/install.log")
      [ "${log: -22}" = $'\nInstallation Finished' ] || fail "install log: $log" ;;
    esac ;;
  *) fail "unknown outcome '$outcome'" ;;
  esac
  [ $failures -eq 0 ] || { echo "standard output:"; cat out; echo "standard error:"; cat err; }
  exit $((failures > 0))
fi

src=$1 work=$2 cmake=$3 launcher_x86_64=$4 demo_rpm=$5 xvfb_run=$6
if [ "$(id -u)" -ne 0 ]; then
  echo "compat.sh: needs root for namespaces and mmdebstrap; skipped" >&2
  exit 77
fi
cache=${QOR_COMPAT_CACHE:-/var/cache/qor-compat}
mirror=${QOR_COMPAT_MIRROR:-http://deb.debian.org/debian}
mkdir -p "$work" "$cache" || exit 1

"$cmake" -S "$src" -B "$work/i686" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/i686.cmake" -DBUILD_TESTING=OFF \
  >"$work/i686.log" 2>&1 && "$cmake" --build "$work/i686" --target qor-setup >>"$work/i686.log" 2>&1 \
  || { echo "FAIL: the i686 build:"; tail -n 20 "$work/i686.log"; exit 1; }
launcher_i686=$work/i686/qor-setup

# A kernel without 32-bit support refuses i386 programs (exit 126): those
# then run under qemu, registered in the user namespace's own binfmt_misc.
qemu=
if ! "$launcher_i686" help >/dev/null 2>&1; then
  qemu=/usr/bin/qemu-i386-static
  [ -x $qemu ] || { echo "FAIL: this kernel runs no i386 programs: install qemu-user-static"; exit 1; }
  echo "note: i386 programs run under $qemu (this kernel runs no 32-bit code)"
fi

# in_userns COMMAND...: COMMAND as root of a user namespace that maps every
# id to itself (mmdebstrap and dpkg need them all), with a mount namespace.
in_userns() {
  local go pid rc
  go=$(mktemp -u "$work/go.XXXXXX") && mkfifo "$go" || return 1
  unshare --user --mount --propagation private sh -c '
    read -r _ <"$0"
    if [ -n "$1" ]; then
      mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || exit 1
      printf "%b" ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$1:PF" \
        >/proc/sys/fs/binfmt_misc/register || exit 1
    fi
    shift; exec "$@"' "$go" "$qemu" "$@" &
  pid=$!
  while [ "$(readlink /proc/$pid/ns/user)" = "$(readlink /proc/self/ns/user)" ]; do sleep 0.01; done
  echo "0 0 4294967295" >/proc/$pid/uid_map && echo "0 0 4294967295" >/proc/$pid/gid_map && echo go >"$go"
  wait $pid; rc=$?
  rm -f "$go"
  return $rc
}

# root_dir NAME: the cached root, made once per machine (and per package list).
root_dir() {
  local spec var=root_${1//-/_} key dir
  spec=${!var}
  key=$(printf '%s %s' "$spec" "$mirror" | md5sum | cut -c 1-8)
  dir=$cache/$1-$key
  (
    flock 9
    [ -e "$dir/done" ] && exit 0
    set -- $spec
    rm -rf "$dir" && mkdir -p "$dir" || exit 1
    echo "note: making the $1 $2 root in $dir (once)" >&2
    start=$(date +%s)
    in_userns mmdebstrap --mode=root --variant=minbase --architectures="$2" --include="$3" \
      "$1" "$dir/root" "$mirror" >"$dir/mmdebstrap.log" 2>&1 \
      || { echo "mmdebstrap failed:" >&2; tail -n 20 "$dir/mmdebstrap.log" >&2; exit 1; }
    echo "note: made in $(($(date +%s) - start)) s, $(du -sm "$dir/root" | cut -f 1) MB" >&2
    touch "$dir/done"
  ) 9>"$cache/lock" || return 1
  echo "$dir/root"
}

failures=0 missing_roots=
while IFS='|' read -r root build command status outcome; do
  root=$(trim "$root") build=$(trim "$build") command=$(trim "$command")
  status=$(trim "$status") outcome=$(trim "$outcome")
  [ -n "$root" ] || continue
  # qemu-i386 7.2 cannot run the i386 Qt's QProcess: it refuses the
  # clone(CLONE_PIDFD) that Qt picks on a kernel offering pidfds, and with
  # SIGCHLD as the fallback it mixes up the threads' identities.
  if [ -n "$qemu" ] && [ "$command" = "(desktop) install" ]; then
    echo "SKIP: $root $build '$command': the wizard's package tool cannot run under qemu-i386"
    continue
  fi
  case " $missing_roots " in *" $root "*) echo "FAIL: no $root root"; failures=$((failures + 1)); continue ;; esac
  rootdir=$(root_dir "$root") || {
    echo "FAIL: no $root root"; failures=$((failures + 1)); missing_roots="$missing_roots $root"; continue; }
  launcher_var=launcher_$build
  launcher=${!launcher_var}
  # What the same launcher prints on the build machine (the i686 one under
  # qemu where needed), run under the name the row uses.
  expected_out=
  if [ "$outcome" = "same output as on the build machine" ]; then
    # shellcheck disable=SC2086
    expected_out=$(cd "$work" && in_userns bash -c 'exec -a ./qor-setup "$0" "$@"' "$launcher" $command \
      </dev/null 2>/dev/null; echo .)
    expected_out=${expected_out%.}
  fi
  rm -f "$work/out" "$work/err"
  start=$(date +%s)
  (cd "$work" && in_userns unshare --pid --net --fork --mount-proc "$xvfb_run" \
    "$self" --inside "$rootdir" "$launcher" "$demo_rpm" "$command" "$status" "$outcome" "$expected_out") \
    >"$work/row.log" 2>&1
  rc=$?
  if [ $rc -eq 0 ]; then
    echo "ok: $root $build '$command' ($(($(date +%s) - start)) s)"
  else
    echo "FAIL: $root $build '$command':"; cat "$work/row.log"; failures=$((failures + 1))
  fi
done <<<"$rows"
[ $failures -eq 0 ] && echo "all rows passed" || echo "$failures row(s) failed"
exit $((failures > 0))
