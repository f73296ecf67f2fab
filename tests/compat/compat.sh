#!/bin/bash
# compat.sh SOURCE_DIR WORK_DIR CMAKE LAUNCHER DEMO_RPM XVFB_RUN
# The installer on the systems its users have: fresh Debian roots made by
# mmdebstrap once per machine and cached in $QOR_COMPAT_CACHE (default
# /var/cache/qor-compat). LAUNCHER is the x86_64 launcher; the i686 one and
# the release ones (self-contained wizard, RPM and Ubuntu builds) are built
# into WORK_DIR. Each row runs in a throwaway overlay over its root, in
# mount, PID and network namespaces of its own with an Xvfb of its own.
# Where the kernel runs no 32-bit code, i386 programs run under
# qemu-i386-static, registered only in a user namespace of the row's own;
# where no user namespace can be made (in a chroot), those rows are skipped.
# Commands: words for the launcher's command line; "(desktop) KEYS" starts it
# without arguments as root and types KEYS into the wizard; "(user) KEYS"
# the same as a user who is not root, with polkit allowing that user pkexec
# and PackageKit's installs; "(refused) KEYS" the same with no polkit rule
# for the user (and no agent: polkit refuses); "(tty) TEXT" starts it without
# arguments on a terminal that reads TEXT. The wizard is closed by Return
# after a success, by Escape after a failure.
set -u
self=$(readlink -f "$0")

# root             | build   | command                            | status | outcome
rows='
bullseye-amd64     | x86_64  | help                               | 0      | says 3. accepteula extract <filename>
bullseye-amd64     | x86_64  | extract /root/qor.rpm              | 0      | extracted
bullseye-amd64     | x86_64  | accepteula                         | 0      | installed
bookworm-i386      | i686    | help                               | 0      | says 3. accepteula extract <filename>
bookworm-i386      | i686    | extract /root/qor.rpm              | 0      | extracted
bookworm-i386      | i686    | accepteula                         | 0      | installed
bookworm-i386      | i686    | (desktop) Escape                   | 3      | cancelled
bookworm-i386      | i686    | (desktop) Return Tab space Return  | 0      | installed
bullseye-desktop   | release | (desktop) Return Tab space Return  | 0      | installed
bullseye-desktop   | ubuntu  | (desktop) Return Tab space Return  | 0      | installed-deb
trixie-desktop     | release | (desktop) Return Tab space Return  | 0      | installed
trixie-desktop     | ubuntu  | (desktop) Return Tab space Return  | 0      | installed-deb
trixie-desktop     | ubuntu  | (user) Return Tab space Return     | 0      | installed-deb
bullseye-amd64     | release | (tty) n                            | 1      | hints, then the licence
trixie-desktop     | release | (user) Return Tab space Return     | 2      | says nor PackageKit is available on this system
trixie-stock       | ubuntu  | (user) Return Tab space Return     | 0      | installed-deb through PackageKit
trixie-stock       | ubuntu  | (refused) Return Tab space Return  | 2      | refused
trixie-stock       | release | (user) Return Tab space Return     | 2      | says PackageKit on this system cannot install this kind of package
trixie-stock       | ubuntu  | (desktop) Return Tab space Return  | 0      | installed-deb
trixie-stock       | ubuntu  | accepteula                         | 0      | installed-deb with apt-get
bookworm-stock     | release | (user) Return Tab space Return     | 0      | finished through PackageKit
'
# suite, architecture and packages of each root. The desktop roots hold what
# a stock GNOME desktop has of X11 and no Qt.
desktop=libx11-6,libx11-xcb1,libxcb1,libxcb-randr0,libxcb-render0,libxcb-shape0,libxcb-shm0,libxcb-sync1
desktop+=,libxcb-xfixes0,libxcb-xkb1,libxkbcommon0,libxkbcommon-x11-0,libxext6,libxrender1,libxi6
desktop+=,libfontconfig1,libfreetype6,libdbus-1-3,fonts-dejavu-core
root_bullseye_amd64='bullseye amd64 rpm'
root_bookworm_i386='bookworm i386 rpm,libqt5widgets5,libqt5printsupport5,fonts-dejavu-core'
root_bullseye_desktop="bullseye amd64 rpm,policykit-1,gdebi-core,$desktop"
# Debian 13 has no policykit-1: pkexec and polkitd instead.
root_trixie_desktop="trixie amd64 rpm,pkexec,polkitd,gdebi-core,dbus-bin,dbus-daemon,$desktop"
# What a stock desktop has for installing: PackageKit and polkit, no pkexec,
# no gdebi; and the MIME database by which PackageKit tells what a file is.
# Debian 12's PackageKit runs its dummy backend, which takes an RPM.
stock=dbus,polkitd,packagekit,passwd,shared-mime-info,$desktop
root_trixie_stock="trixie amd64 dbus-bin,dbus-daemon,$stock"
root_bookworm_stock="bookworm amd64 $stock"
backend_bookworm_stock=dummy

if [ "${1:-}" = --inside ]; then # ROOTDIR LAUNCHER DEMO_RPM COMMAND OUTCOME [BACKEND]
  rootdir=$2 launcher=$3 demo_rpm=$4 command=$5 outcome=$6 backend=${7:-}
  r=$(mktemp -d)
  mount -t tmpfs rows "$r" && mkdir "$r/up" "$r/wk" "$r/root" && r=$r/root &&
    mount -t overlay overlay -o "lowerdir=$rootdir,upperdir=$r/../up,workdir=$r/../wk" "$r" &&
    mount --rbind /dev "$r/dev" && mount -t proc proc "$r/proc" && mkdir -p "$r/tmp/.X11-unix" &&
    mount --bind /tmp/.X11-unix "$r/tmp/.X11-unix" && install -m 0755 "$launcher" "$r/root/qor-setup" || exit 1
  in_root() { chroot "$r" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin DISPLAY="$DISPLAY" "$@"; }
  home=/root mode=${command%%) *} keys=${command#*) }
  case $mode in "(desktop" | "(user" | "(refused" | "(tty") mode=${mode#(} ;; *) mode=text keys= ;; esac
  [ $mode = refused ] && mode=user rule=no
  if [ $mode = user ]; then
    home=/home/qor
    in_root useradd -m qor && install -m 0755 "$launcher" "$r$home/qor-setup" || exit 1
    mkdir -p "$r/etc/polkit-1/rules.d" "$r/run/dbus"
    [ "${rule:-}" = no ] || echo 'polkit.addRule(function(action, subject) {
      if (subject.user == "qor" && (action.id == "org.freedesktop.policykit.exec"
          || action.id.indexOf("org.freedesktop.packagekit.") == 0)) return polkit.Result.YES; });' \
      >"$r/etc/polkit-1/rules.d/49-qor-compat.rules"
    # A system bus, polkitd and PackageKit of the row's own, waited for with
    # room for a cold start, so that pkexec and the wizard find them.
    in_root dbus-daemon --system --fork --nopidfile
    in_root /usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
    services=org.freedesktop.PolicyKit1
    if [ -x "$r/usr/libexec/packagekitd" ]; then
      in_root /usr/libexec/packagekitd ${backend:+--backend=$backend} >/dev/null 2>&1 &
      services+=" org.freedesktop.PackageKit"
    fi
    for name in $services; do
      for _ in $(seq 600); do
        in_root dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
          string:$name 2>/dev/null | grep -q true && break
        sleep 0.2
      done
    done
  fi
  as_runner() {
    if [ $mode = user ]; then
      chroot --userspec=qor:qor "$r" /usr/bin/env -i HOME=$home PATH=/usr/bin:/bin DISPLAY="$DISPLAY" "$@"
    else
      in_root "$@"
    fi
  }
  log=$r$home/.qor/install.log
  case $mode in
  desktop | user)
    as_runner sh -c "cd $home && exec ./qor-setup" </dev/null >out 2>err &
    pid=$!
    # Slow under qemu; Finish is the default button once the install is over.
    w=$(timeout 300 xdotool search --sync --onlyvisible --name '^Pellandor Tolmerin .* Setup$' | head -n 1)
    [ -n "$w" ] && xdotool windowfocus --sync "$w" key --delay 500 $keys
    for _ in $(seq 600); do
      [ -n "$w" ] && kill -0 $pid 2>/dev/null || break
      grep -q 'Installation Finished' "$log" 2>/dev/null && xdotool windowfocus "$w" key Return 2>/dev/null
      grep -q '^Error Code:' "$log" 2>/dev/null && xdotool windowfocus "$w" key Escape 2>/dev/null
      # A refused prerequisite check waits for an answer: the row has failed.
      if xdotool search --onlyvisible --name '^Package Dependency Check$' >/dev/null 2>&1; then
        echo "the prerequisite check refused:"; xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null
        break
      fi
      sleep 1
    done
    kill $pid 2>/dev/null
    wait $pid
    ;;
  tty)
    printf '%s\n' "$keys" | in_root script -qec "cd /root && exec ./qor-setup" /dev/null >out 2>err
    ;;
  *)
    in_root sh -c 'cd /root && exec ./qor-setup "$@"' qor-setup $command </dev/null >out 2>err
    ;;
  esac
  status=$? verdict=
  no_files() { [ -z "$(ls "$r/tmp" | grep "^qor-")" ]; }
  ends() { printf '\n%s\n\n\n' "$1" | cmp -s - <(tail -c $((${#1} + 4)) out); }
  failed() { ends 'Installation failed: the product was not installed; the setup window showed why.' && no_files; }
  case $outcome in
  says*) { grep -qF "${outcome#says }" out || { grep -qF "${outcome#says }" "$log" && failed; }; } && verdict=ok ;;
  extracted) cmp -s "$r/root/qor.rpm" "$demo_rpm" && verdict=ok ;;
  installed) in_root rpm -q qor >/dev/null && [ "$(in_root qor-cli -v | tail -n 1)" = 3.1.1.1912102 ] &&
    ends 'Installation Finished' && { [ $mode = text ] || { grep -q 'Installation Finished' "$log" && no_files; }; } &&
    verdict=ok ;;
  installed-deb*) [ "$(in_root dpkg-query -W -f='${Status}' qor)" = "install ok installed" ] &&
    [ "$(in_root qor-cli -v | tail -n 1)" = 3.1.1.1912102 ] && ends 'Installation Finished' &&
    case $outcome in
    # PackageKit's own progress between our first and last lines, whatever it says.
    *PackageKit) [ "$(grep -c '^PackageKit: ' "$log")" -ge 4 ] && grep -q '^PackageKit: asking to install /tmp/qor-' "$log" &&
      grep -q '^PackageKit: finished, the package is installed$' "$log" && grep -q 'Installation Finished' "$log" ;;
    *apt-get) grep -qF 'gdebi-core is not installed: installing with /usr/bin/apt-get install /tmp/qor-' out ;;
    *) grep -q 'Installation Finished' "$log" ;;
    esac && no_files && verdict=ok ;;
  # The page shows what the log holds of the run, then the outcome.
  refused) ! in_root dpkg-query -W qor >/dev/null 2>&1 && grep -q '^Authorisation was refused' "$log" &&
    grep -q '^Application:PackageKit$' "$log" && failed && verdict=ok ;;
  finished*) grep -q '^PackageKit: asking to install /tmp/qor-' "$log" && grep -q 'Installation Finished' "$log" &&
    ends 'Installation Finished' && no_files && verdict=ok ;;
  # The packages named are those the desktop roots install by these names.
  hints*) grep -qF 'install libxcb1, libx11-xcb1, libxkbcommon-x11-0, libfontconfig1, libfreetype6 and libdbus-1-3.' out &&
    grep -qF 'Do you accept the above License Agreement Terms?[Yes/No]:' out && verdict=ok ;;
  cancelled) ! in_root rpm -q qor >/dev/null && no_files &&
    ends 'Installation cancelled: nothing was installed.' && verdict=ok ;;
  esac
  echo "output:"; cat out; echo "standard error:"; cat err; [ -e "$log" ] && { echo "install log:"; cat "$log"; echo; }
  echo "verdict: exit status $status $verdict"
  exit 0
fi

src=$1 work=$2 cmake=$3 launcher_x86_64=$4 demo_rpm=$5 xvfb_run=$6
[ "$(id -u)" -eq 0 ] || { echo "compat.sh: needs root for namespaces and mmdebstrap; skipped"; exit 77; }
cache=${QOR_COMPAT_CACHE:-/var/cache/qor-compat} mirror=${QOR_COMPAT_MIRROR:-$("$src/tools/debian-mirror.sh")}
[ -n "$mirror" ] || { echo "FAIL: this machine's apt configuration names no Debian mirror: name one in QOR_COMPAT_MIRROR"; exit 1; }
mkdir -p "$work" "$cache" || exit 1
{ "$cmake" -S "$src" -B "$work/i686" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/i686.cmake" -DBUILD_TESTING=OFF &&
  "$cmake" --build "$work/i686" --target qor-setup; } >"$work/i686.log" 2>&1 \
  || { echo "FAIL: the i686 build:"; tail -n 20 "$work/i686.log"; exit 1; }
launcher_i686=$work/i686/qor-setup
# The release installers, RPM and Ubuntu builds, with the self-contained
# wizard (its static Qt made once per machine by tools/build-static-qt.sh).
for build in release:qor-3.1.1.1912102-1912102.rhel6.i686.rpm ubuntu:qor-3.1.1.1912102.ubuntu.amd64.deb; do
  { "$cmake" -S "$src" -B "$work/${build%%:*}" -DQOR_SELF_CONTAINED_WIZARD=ON -DBUILD_TESTING=OFF \
      -DQOR_PACKAGE_FILE_NAME="${build#*:}" && "$cmake" --build "$work/${build%%:*}" --target qor-setup; } \
    >"$work/${build%%:*}.log" 2>&1 || { echo "FAIL: the ${build%%:*} build:"; tail -n 20 "$work/${build%%:*}.log"; exit 1; }
done
launcher_release=$work/release/qor-setup launcher_ubuntu=$work/ubuntu/qor-setup

qemu=
if ! "$launcher_i686" help >/dev/null 2>&1; then # exit 126: no 32-bit support
  qemu=/usr/bin/qemu-i386-static
  [ -x $qemu ] || { echo "FAIL: this kernel runs no i386 programs: install qemu-user-static"; exit 1; }
  echo "note: i386 programs run under $qemu"
fi

# needs_qemu ROOT: the root's programs run under qemu-i386 here.
needs_qemu() { local var=root_${1//-/_}; set -- ${!var}; [ -n "$qemu" ] && [ "$2" = i386 ]; }
# A chroot allows no user namespace, and without one qemu-i386 cannot be
# registered for this test alone.
userns=yes
unshare --user true 2>/dev/null || userns=

# in_ns ROOT COMMAND...: COMMAND in a mount namespace of its own; for a root
# whose programs need qemu-i386, as root of a user namespace that maps every
# id to itself (mmdebstrap and dpkg need them all), qemu registered there.
in_ns() {
  local root=$1
  shift
  if needs_qemu "$root"; then in_userns "$@"; else unshare --mount --propagation private "$@"; fi
}
in_userns() {
  local go pid rc
  go=$(mktemp -u "$work/go.XXXXXX") && mkfifo "$go" || return 1
  unshare --user --mount --propagation private sh -c 'read -r _ <"$0"
    if [ -n "$1" ]; then
      mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
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

# root_dir NAME: the cached root, made once per machine and package list.
root_dir() {
  local name=$1 var=root_${1//-/_} dir
  dir=$cache/$1-$(printf '%s %s' "${!var}" "$mirror" | md5sum | cut -c 1-8)
  (
    flock 9
    [ -e "$dir/done" ] && exit 0
    set -- ${!var}
    rm -rf "$dir" && mkdir -p "$dir" || exit 1
    echo "note: making the $1 $2 root in $dir, once" >&2
    SECONDS=0
    in_ns "$name" mmdebstrap --mode=root --variant=minbase --architectures="$2" --include="$3" \
      "$1" "$dir/root" "$mirror" >"$dir/mmdebstrap.log" 2>&1 \
      || { echo "mmdebstrap failed:" >&2; tail -n 20 "$dir/mmdebstrap.log" >&2; exit 1; }
    echo "note: made in $SECONDS s, $(du -sm "$dir/root" | cut -f 1) MB" >&2
    touch "$dir/done"
  ) 9>"$cache/lock" && echo "$dir/root"
}

failures=0 no_roots=
while IFS='|' read -r root build command status outcome; do
  set -- $root $build; root=${1:-} build=${2:-}
  command=$(echo $command) status=$(echo $status) outcome=$(echo $outcome)
  [ -n "$root" ] || continue
  # qemu-i386 7.2 cannot run the i386 Qt's QProcess: it refuses the
  # clone(CLONE_PIDFD) that Qt picks where the kernel offers pidfds, and with
  # SIGCHLD as the fallback it mixes up the threads' identities.
  if needs_qemu "$root" && [ "$command" != "${command#(desktop) Return}" ]; then
    echo "SKIP: $root $build '$command': the wizard's package tool cannot run under qemu-i386"
    continue
  fi
  if needs_qemu "$root" && [ -z "$userns" ]; then
    echo "SKIP: $root $build '$command': qemu-i386 needs a user namespace, and this system allows none (a chroot?)"
    continue
  fi
  case " $no_roots " in *" $root "*) echo "FAIL: no $root root"; failures=$((failures + 1)); continue ;; esac
  rootdir=$(root_dir "$root") || { echo "FAIL: no $root root"; failures=$((failures + 1)); no_roots+=" $root"; continue; }
  launcher=launcher_$build backend=backend_${root//-/_}
  SECONDS=0
  result=$(cd "$work" && in_ns "$root" unshare --pid --net --fork --mount-proc \
    "$xvfb_run" "$self" --inside "$rootdir" "${!launcher}" "$demo_rpm" "$command" "$outcome" "${!backend:-}" 2>&1)
  if echo "$result" | grep -qx "verdict: exit status $status ok"; then
    echo "ok: $root $build '$command' ($SECONDS s)"
  else
    echo "FAIL: $root $build '$command', expected exit status $status and '$outcome':"; echo "$result"
    failures=$((failures + 1))
  fi
done <<<"$rows"
echo "$failures row(s) failed"
exit $((failures > 0))
