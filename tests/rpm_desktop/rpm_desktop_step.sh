#!/bin/bash
# rpm_desktop_step.sh [--display XVFB_RUN] [--key KEY] [--slow-repo SECONDS] [--refuse] [--kill-wizard] ROOT RESULT BACKEND COMMAND...
# One row of tst_rpm_desktop: a throwaway overlay over ROOT (made by
# tools/build-packagekit-backends.sh, or for BACKEND dnf5daemon by
# tools/build-dnf5daemon-root.sh) in mount, PID and network namespaces
# of its own, with a system bus, polkitd and `packagekitd --backend=BACKEND`
# (the dnf5 daemon's root has none: the bus starts dnf5daemon-server),
# a user "qor" who is not root and whom a polkit rule grants PackageKit's
# actions (and pkexec's, which the root does not have: the launcher's road
# is PackageKit's); then one command as that user. COMMAND is one of
#   setup LAUNCHER KEYS...           the launcher without arguments, KEYS
#                                    typed into its wizard
#   packagekit WIZARD PACKAGE [kill|term]
#                                    the wizard's PackageKit mode on a copy of
#                                    PACKAGE; with kill, packagekitd is killed
#                                    once the transaction runs: while the
#                                    backend loads its repositories (dnf), or
#                                    once the package is written and it loads
#                                    them again (dnf5, which loads none first
#                                    when it is offline); with term, the
#                                    wizard is sent SIGTERM (Cancel) at 100 %,
#                                    and once it has answered, packagekitd
#                                    is killed
#   dnf5daemon WIZARD PACKAGE [kill|stop] the same in the dnf5 daemon mode;
#                                    with kill, the daemon is killed once rpm
#                                    runs; with stop, stopped (SIGSTOP) once
#                                    it loads a repository (--slow-repo
#                                    never): it keeps its name, and answers
#                                    nothing
# --display XVFB_RUN: under an Xvfb of the row's own (run-under-xvfb.sh),
# inside the row's network namespace, so its sockets are nobody else's.
# --key KEY: rpm --import KEY into the root's database first.
# --slow-repo SECONDS: an enabled repository whose index (a FIFO) answers
# nothing for SECONDS, then ends empty, as a mirror that stalls and then
# fails; the dnf backend may skip it. With "never" it stays silent, and the
# dnf backend's transaction stays in its first step.
# --refuse: polkit refuses the user the dnf5 daemon's actions, as a refused
# or dismissed password dialog does.
# --kill-wizard: with setup, the wizard is killed (SIGKILL) once the daemon
# holds a session for it.
# Facts go into the folder RESULT, one file each: backend (BackendName as
# the daemon reports it, or dnf5daemon with the version of dnf5-server),
# service (PackageKit and its version), sessions (the dnf5 daemon's sessions
# left at the end), status, out (the command's output), install.log,
# rpm-version (empty when qor is not installed), tmp-left (qor files left in
# /tmp), the zypp backend's log for a reader, and for setup the times at
# which the install page was entered and the log held the result.
set -u
self=$(readlink -f "$0")
. "$(dirname "$self")/../system/bus_services.sh"
# The build's texts: QOR_BUILD_FACTS names its qor_build_facts.sh.
. "$QOR_BUILD_FACTS" || exit 1
if [ "${1:-}" != --inside ]; then
  xvfb_run=
  [ "${1:-}" = --display ] && { xvfb_run=$2; shift 2; }
  # The overlay's mount point, which outlives the namespace, is removed after it.
  scratch=$(mktemp -d /tmp/qor-rpm-desktop.XXXXXX) || exit 1
  TMPDIR=$scratch unshare --mount --propagation private --pid --net --fork --mount-proc $xvfb_run "$self" --inside "$@"
  status=$?
  rm -rf "$scratch"
  exit $status
fi
shift
key='' slow='' refuse='' kill_wizard=''
while :; do
  case ${1:-} in
  --key) key=$2; shift 2 ;;
  --slow-repo) slow=$2; shift 2 ;;
  --refuse) refuse=1; shift ;;
  --kill-wizard) kill_wizard=1; shift ;;
  *) break ;;
  esac
done
root=$1 result=$2 backend=$3 command=$4
shift 4
mkdir -p "$result" || exit 1
fail() { echo "rpm_desktop_step: $*" >&2; exit 1; }

r=$(mktemp -d)
unset TMPDIR
mount -t tmpfs row "$r" && mkdir "$r/up" "$r/wk" "$r/root" && r=$r/root &&
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$r/../up,workdir=$r/../wk" "$r" &&
  mount --rbind /dev "$r/dev" && mount -t proc proc "$r/proc" || fail "no overlay over $root"
if [ -n "${DISPLAY:-}" ]; then
  mkdir -p "$r/tmp/.X11-unix" && mount --bind /tmp/.X11-unix "$r/tmp/.X11-unix" || fail "no X socket"
fi
in_root() { chroot "$r" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
as_user() {
  chroot --userspec=qor:qor "$r" /usr/bin/env -i HOME=/home/qor PATH=/usr/bin:/bin LANG=C.UTF-8 \
    ${DISPLAY:+DISPLAY=$DISPLAY} "$@"
}

in_root useradd -m qor || fail "no user"
write_polkit_rule qor "$r/etc/polkit-1/rules.d/49-qor-rpm-desktop.rules" ${refuse:+NO} || fail "no polkit rule"
if [ -n "$key" ]; then
  cp "$key" "$r/root/signer.asc" && in_root rpm --import /root/signer.asc || fail "rpm --import $key failed"
fi
if [ -n "$slow" ]; then
  index=$r/srv/slow/repodata/repomd.xml
  mkdir -p "${index%/*}" "$r/etc/yum.repos.d" && mkfifo "$index" &&
    printf '[slow]\nname=slow\nbaseurl=file:///srv/slow\nenabled=1\ngpgcheck=0\nskip_if_unavailable=1\n' \
      >"$r/etc/yum.repos.d/slow.repo" || fail "no slow repository"
  # Each reader that opens it then reads an empty file, however often it tries.
  [ "$slow" = never ] || (sleep "$slow"; while :; do : >"$index"; done) &
fi

# PackageKit's own dnf5 backend, as on a Fedora without the dnf5 daemon,
# which the wizard would take where the bus can start it.
[ "$backend" != dnf5 ] || rm -f "$r/usr/share/dbus-1/system-services/org.rpm.dnf.v0.service"
mkdir -p "$r/run/dbus" && in_root dbus-daemon --system --fork --nopidfile || fail "no system bus"
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$r/run/dbus/system_bus_socket
start_bus_services "$r" --backend="$backend" --disable-timer || fail "no polkitd or packagekitd"
if [ "$backend" = dnf5daemon ]; then
  echo "dnf5daemon $(in_root dpkg-query -W -f '${Version}' dnf5-server)" >"$result/backend"
  echo "dnf5 daemon $(in_root dpkg-query -W -f '${Version}' dnf5-server)" >"$result/service"
else
  in_root gdbus call --system --dest org.freedesktop.PackageKit --object-path /org/freedesktop/PackageKit \
    --method org.freedesktop.DBus.Properties.GetAll org.freedesktop.PackageKit >"$result/properties" 2>&1
  property() { sed -n "s/.*'$1': <\(uint32 \)\{0,1\}'\{0,1\}\([^'>]*\)'\{0,1\}>.*/\2/p" "$result/properties"; }
  property BackendName >"$result/backend"
  echo "PackageKit $(property VersionMajor).$(property VersionMinor).$(property VersionMicro)" >"$result/service"
fi
# The dnf5 daemon's sessions are the children of its object.
sessions() {
  in_root gdbus introspect --system --dest org.rpm.dnf.v0 --object-path /org/rpm/dnf/v0 2>/dev/null | grep -c '^ *node [0-9a-f]'
}

home=$r/home/qor
case $command in
setup)
  launcher=$1
  shift
  install -m 0755 "$launcher" "$home/$QOR_INSTALLER_NAME" && in_root chown qor:qor "/home/qor/$QOR_INSTALLER_NAME" ||
    fail "no launcher"
  as_user sh -c "cd && exec ./$QOR_INSTALLER_NAME" </dev/null >"$result/out" 2>&1 &
  pid=$!
  w=$(timeout 300 xdotool search --sync --onlyvisible --name "^$QOR_WINDOW_TITLE\$" | head -n 1)
  # The last key enters the install page: the time it is sent goes into
  # "entered", the time the install log first holds the result into "ended"
  # (milliseconds), for bench/install_page_rpm_backends.sh.
  last=${!#}
  if [ -n "$w" ]; then
    xdotool windowfocus --sync "$w" key --delay 500 "${@:1:$#-1}" && sleep 0.5 &&
      xdotool windowfocus --sync "$w" && date +%s%3N >"$result/entered" && xdotool key "$last"
  fi
  if [ -n "$kill_wizard" ]; then
    for _ in $(seq 1200); do [ "$(sessions)" -gt 0 ] && break; sleep 0.1; done
    sessions >"$result/sessions-before-kill"
    pkill -KILL -f '_ui_bin$'
  fi
  # Finish is the default button after a success, Cancel's key is Escape.
  log=$home/.qor/install.log
  for _ in $(seq 9000); do
    [ -n "$w" ] && kill -0 $pid 2>/dev/null || break
    if grep -q -e "$QOR_RECORD_FINISHED" -e "^$QOR_RECORD_ERROR_CODE" "$log" 2>/dev/null; then
      [ -e "$result/ended" ] || date +%s%3N >"$result/ended"
      if grep -q "$QOR_RECORD_FINISHED" "$log"; then key=Return; else key=Escape; fi
      xdotool windowfocus "$w" key $key 2>/dev/null
      sleep 1
    fi
    sleep 0.1
  done
  kill $pid 2>/dev/null
  wait $pid
  echo $? >"$result/status"
  ;;
packagekit | dnf5daemon)
  wizard=$1 package=$2 action=${3:-}
  path=/tmp/qor-pk-$(basename "$package")
  install -m 0755 "$wizard" "$home/qor-wizard" && in_root chown qor:qor /home/qor/qor-wizard && install -m 0644 "$package" "$r$path" || fail "no wizard"
  # await_output GREP-ARGS...: until the client prints such a line, ends, or
  # 120 s pass.
  await_output() {
    for _ in $(seq 1200); do
      grep -q "$@" "$result/out" && return
      kill -0 $pid 2>/dev/null || return
      sleep 0.1
    done
  }
  mode="--install-with-packagekit --rpm"
  [ "$command" = dnf5daemon ] && mode=--install-with-dnf5daemon
  as_user timeout 900 /home/qor/qor-wizard $mode "$path" >"$result/out" 2>&1 &
  pid=$!
  if [ "$action" = stop ]; then
    await_output '^dnf5 daemon: loading the repository '
    pkill -STOP -x dnf5daemon-serv
  elif [ "$action" = kill ] && [ "$command" = dnf5daemon ]; then
    # Killed while rpm runs the package's script (which waits).
    await_output '^dnf5 daemon: running a script of '
    pkill -KILL -x dnf5daemon-serv
  elif [ "$action" = kill ]; then
    # Killed while the backend loads its repositories (with --slow-repo
    # never, for as long as it takes).
    await_output -e '^PackageKit: loading the cache' -e '^PackageKit: 100% done'
    # The row's own PID namespace: its daemon is the only one.
    pkill -KILL -x packagekitd
  elif [ "$action" = term ]; then
    await_output '^PackageKit: 100% done'
    pkill -TERM -x qor-wizard
    for _ in $(seq 600); do
      grep -qi cancel "$result/out" && break
      sleep 0.1
    done
    pkill -KILL -x packagekitd
  fi
  wait $pid
  echo $? >"$result/status"
  rm -f "$r$path"
  ;;
*) fail "unknown command $command" ;;
esac

in_root rpm -q --qf '%{VERSION}\n' qor >"$result/rpm-version" 2>/dev/null || : >"$result/rpm-version"
cp "$home/.qor/install.log" "$result/install.log" 2>/dev/null || : >"$result/install.log"
find "$r/tmp" -mindepth 1 -maxdepth 1 -name 'qor*' -printf '%f\n' >"$result/tmp-left"
if [ "$backend" = dnf5daemon ]; then
  pkill -CONT -x dnf5daemon-serv
  # A vanished client's sessions go as the daemon hears of it.
  for _ in $(seq 300); do [ "$(sessions)" = 0 ] && break; sleep 0.1; done
  sessions >"$result/sessions"
fi
# The daemon may have things to say about the transaction: stop it first.
pkill -x packagekitd && await_name org.freedesktop.PackageKit false
cp "$r/var/log/pk_backend_zypp" "$result/" 2>/dev/null
exit 0
