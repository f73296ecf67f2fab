#!/bin/bash
# agent_row.sh ROW ROOTDIR LAUNCHER XVFB_RUN FACTS_DIR
# One row of the desktop-agent test: the Ubuntu release installer started by
# a user who is not root, in a throwaway overlay over ROOTDIR (prepare.sh),
# with real polkitd and packagekitd and a real graphical polkit agent
# (lxpolkit) in a logind session written by hand, as
# polkit reads one without logind: the session's files under /run/systemd and
# the session's cgroup scope. The wizard is driven from the keyboard and the
# agent's password dialog with xdotool, on an Xvfb of the row's own. ROW:
#   password  the password is typed into the dialog
#   dismiss   the dialog is dismissed (Escape)
#   cancel    the wizard is cancelled (Escape: its Cancel) while the dialog is open
#   kill      the wizard is killed (SIGKILL) while the dialog is open
#   leftopen  the dialog is left open past PackageKit's limit (300 s), then
#             the page's Try again gets a new dialog, which gets the password
#   lock:N    another root process holds dpkg's lock for N seconds from the
#             moment the password is typed; every dialog gets the password
#   lock:N:W  the same, with the installer's wait for the lock set to W seconds
#   dnf5daemon:ROW  ROW with the RPM release installer in a root of the dnf5
#             daemon (tools/build-dnf5daemon-root.sh), which installs there
#   dnf5:ROW  ROW with the RPM release installer on PackageKit's dnf5 backend
#             (tools/build-packagekit-dnf5.sh), its bus unable to start the
#             dnf5 daemon that the root also holds
# It leaves facts in FACTS_DIR for the test to judge: facts ("key: value"
# lines), out (the launcher's output), log (the install log) and monitor
# (the private bus's traffic, from dbus-monitor). It prints the service and
# backend that ran. QOR_BUILD_FACTS names the build's qor_build_facts.sh.
set -u
. "$QOR_BUILD_FACTS" || exit 1
password=Agent-row-1

if [ "${1:-}" != --inside ]; then
  row=$1 rootdir=$2 launcher=$3 xvfb_run=$4 facts=$5
  [ "$(id -u)" -eq 0 ] || { echo "agent_row.sh: needs root for namespaces and cgroups; skipped"; exit 77; }
  # Each row is a session of its own: other rows and other tests on the
  # machine make theirs in the same cgroup hierarchies.
  session=qa$$ slice=user.slice/user-1000.slice
  for h in systemd unified; do mkdir -p "/sys/fs/cgroup/$h/$slice/session-$session.scope" || exit 1; done
  mkdir -p "$facts" && rm -f "$facts"/* || exit 1
  # Stopped (a test's time is up): the namespace ends with unshare's child.
  unshare --mount --propagation private --pid --net --fork --mount-proc --kill-child \
    "$xvfb_run" "$0" --inside "$row" "$rootdir" "$launcher" "$facts" "$session" "$slice" &
  child=$!
  trap 'kill $child' TERM INT HUP
  wait $child
  rc=$?
  wait $child
  # The namespace's processes have ended with its first one.
  for h in systemd unified; do
    for _ in $(seq 50); do rmdir "/sys/fs/cgroup/$h/$slice/session-$session.scope" 2>/dev/null && break; sleep 0.1; done
    rmdir "/sys/fs/cgroup/$h/$slice" "/sys/fs/cgroup/$h/user.slice" 2>/dev/null
  done
  exit $rc
fi

row=$2 rootdir=$3 launcher=$4 facts=$5 session=$6 slice=$7
service=packagekit kind=deb backend=
case $row in
dnf5daemon:*) service=dnf5daemon kind=rpm row=${row#dnf5daemon:} ;;
dnf5:*) kind=rpm backend=dnf5 row=${row#dnf5:} ;;
esac
. "$(dirname "$0")/../system/bus_services.sh"
fact() { printf '%s: %s\n' "$1" "$2" >>"$facts/facts"; }
r=$(mktemp -d)
mount -t tmpfs row "$r" && mkdir "$r/up" "$r/wk" "$r/root" && r=$r/root &&
  mount -t overlay overlay -o "lowerdir=$rootdir,upperdir=$r/../up,workdir=$r/../wk" "$r" &&
  mount --rbind /dev "$r/dev" && mount -t proc proc "$r/proc" && mount --rbind /sys "$r/sys" &&
  mkdir -p "$r/tmp/.X11-unix" "$r/run/dbus" && mount --bind /tmp/.X11-unix "$r/tmp/.X11-unix" || exit 1
in_root() { chroot "$r" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
installed() {
  if [ $kind = rpm ]; then in_root rpm -q --qf '%{VERSION}' qor 2>/dev/null | grep -v 'not installed'
  else in_root dpkg-query -W -f='${Status}' qor 2>/dev/null; fi
}
# What the service still holds for a client: PackageKit's transactions, the
# dnf5 daemon's sessions (the children of its object).
left_behind() {
  if [ $service = dnf5daemon ]; then
    in_root gdbus introspect --system --dest org.rpm.dnf.v0 --object-path /org/rpm/dnf/v0 2>&1 >"$r/tmp/answer" &&
      echo "method return" && grep -c '^ *node [0-9a-f]' "$r/tmp/answer"
  else
    in_root dbus-send --system --print-reply --dest=org.freedesktop.PackageKit /org/freedesktop/PackageKit \
      org.freedesktop.PackageKit.GetTransactionList 2>&1
  fi
}
as_user() { chroot --userspec=qor:qor "$r" /usr/bin/env -i HOME=/home/qor PATH=/usr/bin:/bin DISPLAY="$DISPLAY" "$@"; }

# Debian's polkit rules make the group sudo the administrators: the agent
# asks for the user's own password.
in_root useradd -m -G sudo qor && echo "qor:$password" | in_root chpasswd &&
  install -m 0755 -o 1000 -g 1000 "$launcher" "$r/home/qor/$QOR_INSTALLER_NAME" || exit 1
[ "$(in_root id -u qor)" = 1000 ] || { echo "the user is not 1000, as the slice says"; exit 1; }
# No polkit rule: the agent must ask.
in_root dbus-daemon --system --fork --nopidfile
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$r/run/dbus/system_bus_socket
# chroot and env exec it: $! is the monitor's own PID; env -i, as the
# address above names the socket as seen from outside the root.
chroot "$r" /usr/bin/env -i /usr/bin/dbus-monitor --system >"$facts/monitor" 2>&1 &
monitor=$!
# The wizard takes the dnf5 daemon where the bus can start it.
[ -z "$backend" ] || rm -f "$r/usr/share/dbus-1/system-services/org.rpm.dnf.v0.service"
start_bus_services "$r" ${backend:+--backend=$backend} || exit 1
if [ $service = dnf5daemon ]; then
  ran="dnf5 daemon $(in_root dpkg-query -W -f '${Version}' dnf5-server)"
else
  ran=$(in_root dbus-send --system --print-reply --dest=org.freedesktop.PackageKit /org/freedesktop/PackageKit \
    org.freedesktop.DBus.Properties.GetAll string:org.freedesktop.PackageKit |
    awk '/string "(VersionMajor|VersionMinor|VersionMicro|BackendName)"/ { k = $2; getline; v[k] = $NF }
      END { gsub(/"/, "", v["\"BackendName\""])
        printf "PackageKit %s.%s.%s, backend %s", v["\"VersionMajor\""], v["\"VersionMinor\""], v["\"VersionMicro\""], v["\"BackendName\""] }')
fi
fact service "$ran"
echo "service: $ran"

# The session, as logind would have written it; this shell and all it starts
# from here on (the agent, the installer, xdotool) are in its scope.
mkdir -p "$r/run/systemd/sessions" "$r/run/systemd/users" "$r/run/systemd/seats" &&
  printf '%s\n' UID=1000 USER=qor ACTIVE=1 STATE=active REMOTE=0 TYPE=x11 CLASS=user SEAT=seat0 \
    "DISPLAY=$DISPLAY" >"$r/run/systemd/sessions/$session" &&
  printf '%s\n' STATE=active "SESSIONS=$session" "DISPLAY=$session" >"$r/run/systemd/users/1000" &&
  printf '%s\n' "ACTIVE=$session" ACTIVE_UID=1000 "SESSIONS=$session" >"$r/run/systemd/seats/seat0" || exit 1
for h in systemd unified; do echo $$ >"/sys/fs/cgroup/$h/$slice/session-$session.scope/cgroup.procs" || exit 1; done
as_user lxpolkit >"$facts/lxpolkit" 2>&1 &

log=$r/home/qor/.qor/install.log ended="^$QOR_RECORD_FINISHED\\|^$QOR_RECORD_ERROR_CODE"
case $row in lock:*:*) lock_wait=${row##*:} ;; esac
as_user ${lock_wait:+QOR_LOCK_WAIT_SECONDS=$lock_wait} sh -c "cd /home/qor && exec ./$QOR_INSTALLER_NAME" </dev/null >"$facts/out" 2>"$facts/err" &
pid=$!
# Generous: a cold start on a loaded two-core machine.
w=$(timeout 300 xdotool search --sync --onlyvisible --name "^$QOR_WINDOW_TITLE\$" | head -n 1)
[ -n "$w" ] && xdotool windowfocus --sync "$w" key --delay 500 Return Tab space Return
# dialog [OLD]: an open password dialog, other than the window OLD.
dialog() { xdotool search --onlyvisible --name '^Authentication' 2>/dev/null | grep -vx -- "${1:-none}" | head -n 1; }
wait_dialog() {
  local d
  for _ in $(seq 300); do d=$(dialog "$@") && [ -n "$d" ] && { echo "$d"; return 0; }; sleep 1; done
  return 1
}
type_password() { xdotool windowfocus --sync "$1" type --delay 100 "$password" && xdotool key Return; }

dialogs=0 d=$(wait_dialog) && dialogs=1
fact dialog "${d:+shown}"
case $row in
password) [ -n "$d" ] && type_password "$d" ;;
dismiss) [ -n "$d" ] && xdotool windowfocus --sync "$d" key Escape ;;
cancel)
  # Escape is the wizard's Cancel: both reject the dialog.
  [ -n "$d" ] && xdotool windowfocus --sync "$w" key Escape
  for _ in $(seq 60); do [ -z "$(dialog)" ] && break; sleep 1; done
  fact "dialog after cancel" "$([ -n "$(dialog)" ] && echo open || echo gone)"
  # Or else the row would last until PackageKit drops the transaction.
  [ -n "$(dialog)" ] && xdotool windowfocus --sync "$(dialog)" key Escape
  ;;
kill)
  # The wizard is the parent of its PackageKit client, which asked for the dialog.
  wizard=$(ps -o ppid= -p "$(pgrep -f -- --install-with-$service | head -n 1)" | tr -d ' ')
  [ -n "$d" ] && [ -n "$wizard" ] && kill -KILL "$wizard"
  # PackageKit's answer to the cancellation may take its time.
  for _ in $(seq 120); do
    clients=$(pgrep -fc -- --install-with-$service)
    list=$(left_behind)
    if [ $service = dnf5daemon ]; then transactions=$(echo "$list" | tail -n 1)
    else transactions=$(echo "$list" | grep -c 'object path'); fi
    [ "$clients" = 0 ] && [ "$transactions" = 0 ] && echo "$list" | grep -q '^method return' && break
    sleep 1
  done
  fact "clients left" "$clients"
  ps -eo pid,ppid,stat,args >"$facts/processes after"
  fact "transactions left" "$(echo "$list" | grep -q '^method return' && echo "$transactions" || echo "no answer: $list")"
  ;;
leftopen)
  for _ in $(seq 420); do grep -q "^$QOR_RECORD_ERROR_CODE" "$log" 2>/dev/null && break; sleep 1; done
  for _ in $(seq 60); do [ -z "$(dialog)" ] && break; sleep 1; done
  fact "dialog at the limit" "$([ -n "$(dialog)" ] && echo open || echo gone)"
  fact "installed at the limit" "$(installed)"
  # The page offers Try again once it has the result the log holds. PackageKit
  # 1.3.1 has aborted on the refusal that follows the drop: the bus starts it.
  # Should a dialog stay open, the user answers the new one.
  sleep 5
  old=$(dialog)
  xdotool windowfocus --sync "$w" key alt+t && d=$(wait_dialog "$old") && dialogs=2 && type_password "$d"
  for _ in $(seq 300); do [ "$(grep -c "$ended" "$log" 2>/dev/null)" -ge 2 ] && break; sleep 1; done
  ;;
lock:*)
  # Another root process, as unattended-upgrades, visible to apt by its PID.
  /usr/bin/python3 -c 'import fcntl, sys, time
f = open(sys.argv[1], "w"); fcntl.lockf(f, fcntl.LOCK_EX); time.sleep(float(sys.argv[2]))' \
    "$r/var/lib/dpkg/lock-frontend" "$(echo "${row#lock:}" | cut -d: -f1)" &
  sleep 1
  [ -n "$d" ] && type_password "$d"
  # Each attempt is authorised anew.
  for _ in $(seq 900); do
    kill -0 $pid 2>/dev/null || break
    grep -q "$ended" "$log" 2>/dev/null && break
    if [ -n "$(dialog)" ] && [ "$(dialog)" != "$d" ]; then
      d=$(dialog) dialogs=$((dialogs + 1))
      type_password "$d"
    fi
    sleep 1
  done
  ;;
esac
fact dialogs $dialogs
for _ in $(seq 900); do
  [ -n "$w" ] && kill -0 $pid 2>/dev/null || break
  # The last record is this attempt's: a run may write more than one.
  case $(grep "$ended" "$log" 2>/dev/null | tail -n 1) in
  "$QOR_RECORD_FINISHED") xdotool windowfocus "$w" key Return 2>/dev/null ;;
  "$QOR_RECORD_ERROR_CODE"*) xdotool windowfocus "$w" key Escape 2>/dev/null ;;
  esac
  sleep 1
done
kill $pid 2>/dev/null
wait $pid
fact status $?
# Each attempt its own transaction, and each transaction one action: a
# second one on a transaction (PackageKit 1.3.5 and later answer it with
# InvalidState) would be a client that reuses what it must not.
kill $monitor
wait $monitor
awk '/^method call .*interface=org\.freedesktop\.PackageKit;.*member=CreateTransaction$/ { n++ }
  /^method call .*interface=org\.freedesktop\.PackageKit\.Transaction;/ && !/member=(SetHints|Cancel)$/ {
    split($0, a, "path="); split(a[2], b, ";"); if (acted[b[1]]++) second++ }
  /^error .*error_name=org\.freedesktop\.PackageKit\.Transaction\.InvalidState / { invalid++ }
  END { printf "transactions: %d\nsecond actions: %d\ninvalid-state errors: %d\n", n, second, invalid }' \
  "$facts/monitor" >>"$facts/facts"
# How long the dnf5 daemon took to answer the first do_transaction: its wait
# for polkit's answer, where the dialog is left open.
awk 'function field(name) {
    return match($0, name "=[^ ;]+") ? substr($0, RSTART + length(name) + 1, RLENGTH - length(name) - 1) : "" }
  /^method call / && /member=do_transaction$/ && !asked { call = field("sender") " " field("serial"); start = field("time"); asked = 1 }
  /^(method return|error) / && call != "" && field("destination") " " field("reply_serial") == call {
    printf "do_transaction answered after: %d s\n", field("time") - start; call = "" }' "$facts/monitor" >>"$facts/facts"
fact installed "$(installed)"
fact "package files left" "$(ls "$r/tmp" | grep -c '^qor-')"
cp "$log" "$facts/log" 2>/dev/null
exit 0
