#!/bin/bash
# run_ends.sh SANDBOX XVFB_RUN LAUNCHER [ROW NAME PREFIX]
# Every way a run of the release launcher can end, as its user meets it:
# with the real rpm and wizard, each row in a sandbox and X server of its
# own. A row names the environment, the user, the arguments and what
# happens meanwhile; it expects the exit status, whether qor got installed,
# the qor files left in /tmp and the last line on standard output.
#   environment: plain, no-display, noexec-tmp (a noexec tmpfs over /tmp),
#     no-qt (Qt Widgets hidden by a mount), bad-display, no-screen,
#     rpm-fails, slow-rpm, closed-pipe (standard output a pipe without
#     reader), tty, root-link / user-link (a link at ~/.qor/install.log to a
#     file only root may write), device (a stand-in for /dev/null),
#     stalled-chmod (the launcher held up for 3 s as it gives the wizard
#     file its mode, after writing the package and licence), planted (an
#     empty file of nobody's at the package path)
#   action: wait, escape, install (through the window), term-at-window,
#     term-at-rpm, hup-at-prompt, term-at-write, second-at-rpm (the same
#     user starts another run meanwhile), second-at-window (nobody does),
#     kill-x-at-rpm (the X server killed while rpm runs under the wizard)
set -u
hint='To install without it, run "%L accepteula" (or %L without arguments) in a terminal.'
rows=(
# name                      |environment,...     |user  |arguments       |action        |status|installed|left|last line
"install fails              |rpm-fails           |root  |                |install       |2  |no |-|Installation failed: the product was not installed; the setup window showed why."
"noexec /tmp                |noexec-tmp          |root  |                |install       |0  |yes|-|Installation Finished"
"Qt missing, no terminal    |no-qt               |root  |                |wait          |127|no |-|$hint"
"Qt missing, terminal       |no-qt,tty           |root  |                |wait          |0  |yes|-|Installation Finished"
"display unreachable        |bad-display         |root  |                |wait          |1  |no |-|$hint"
"display without the screen |no-screen           |root  |                |wait          |1  |no |-|$hint"
"closed pipe, text mode     |closed-pipe         |root  |accepteula      |wait          |0  |yes|-|"
"closed pipe, graphical     |closed-pipe         |root  |                |escape        |3  |no |-|"
"SIGTERM while rpm runs     |slow-rpm            |root  |accepteula      |term-at-rpm   |0  |yes|-|Installation Finished"
"SIGTERM while wizard runs  |plain               |root  |                |term-at-window|3  |no |-|Installation cancelled: nothing was installed."
"SIGHUP at the prompt       |no-display          |root  |                |hup-at-prompt |129|no |-|Do you accept the above License Agreement Terms?[Yes/No]:"
"SIGTERM while writing      |stalled-chmod       |root  |                |term-at-write |143|no |-|"
"link in root's own log     |root-link           |root  |                |install       |0  |yes|-|Installation Finished"
"link in a user's log       |user-link           |root  |                |install       |0  |yes|-|Installation Finished"
"extract onto a device      |device              |root  |extract /run/dev|wait          |17 |no |-| ERROR : /run/dev is a device, not a regular file: it was left as it is and nothing was extracted. Name a new or regular file."
"-h                         |plain               |root  |-h              |wait          |0  |no |-| 3. accepteula extract <filename>: user agrees to the eula and does not want any prompts while extracting to filename."
"--help                     |no-display          |root  |--help          |wait          |0  |no |-| 3. accepteula extract <filename>: user agrees to the eula and does not want any prompts while extracting to filename."
"not root, text mode        |no-display          |nobody|accepteula      |wait          |1  |no |-|Installing needs root rights: run the installer as root, for example: sudo %L"
"second run while rpm runs  |slow-rpm            |root  |accepteula      |second-at-rpm |0  |yes|-|Installation Finished"
"another user's second run  |plain               |root  |                |second-at-window|3|no |-|Installation cancelled: nothing was installed."
"planted by another user    |planted             |root  |                |install       |0  |yes|-|Installation Finished"
"display lost while rpm runs|slow-rpm            |root  |                |kill-x-at-rpm |4  |yes|-|Application:/tmp/qor-3.1.1.1912102-1912102.rhel6.i686.rpm_ui_bin"
)
title='Pellandor Tolmerin 3.1.1.1912102 Setup'

if [ "${1:-}" = --inside ]; then
  IFS='|' read -r name envs user args action status installed left last <<<"$2"
  trim() { local v=$1; v=${v#"${v%%[! ]*}"}; printf '%s' "${v%"${v##*[! ]}"}"; }
  name=$(trim "$name") envs=$(trim "$envs") user=$(trim "$user") args=$(trim "$args") action=$(trim "$action")
  status=$(trim "$status") installed=$(trim "$installed") left=$(trim "$left")
  mkdir -p /run/qor /run/row && cp "$3" /run/qor/qor-setup && chmod 755 /run/qor /run/qor/qor-setup || exit 1
  L=/run/qor/qor-setup
  package=$(strings "$L" | grep -m 1 -x '/tmp/[A-Za-z0-9._+-]*_ui_bin') package=${package%_ui_bin}
  last=${last//%L/$L}
  cd /run/row || exit 1
  # A /tmp of the row's own: other tests write qor files to the shared one.
  mount -t tmpfs -o mode=1777 row /tmp || exit 1
  failures=0
  fail() { echo "FAIL: $name: $*"; failures=$((failures + 1)); }
  exec 5>out 6</dev/null
  run=("$L") stdin=6 stdout=5 tty=0
  [ "$user" = nobody ] && run=(setpriv --reuid=nobody --regid=nogroup --clear-groups "$L")
  echo victim >/run/victim && chmod 600 /run/victim
  for e in ${envs//,/ }; do
    case $e in
    plain) ;;
    no-display) unset DISPLAY ;;
    noexec-tmp) mount -t tmpfs -o noexec,mode=1777 noexec /tmp ;;
    no-qt) mount --bind /dev/null "$(readlink -f "$(ldconfig -p | awk '/libQt5Widgets\.so\.5 /{print $NF; exit}')")" ;;
    bad-display) DISPLAY=:59999 ;;
    no-screen) DISPLAY=$DISPLAY.7 ;;
    rpm-fails) mount --bind /bin/false /usr/bin/rpm ;;
    slow-rpm) mkdir /run/slow && printf '#!/bin/sh\n: >/run/rpm-started\nsleep 2\nexec /usr/bin/rpm "$@"\n' >/run/slow/rpm \
      && chmod 755 /run/slow/rpm && PATH=/run/slow:$PATH ;;
    closed-pipe) exec 4> >(exec true); wait $!; stdout=4 ;;
    tty) tty=1 ;;
    root-link) export HOME=/run/home; mkdir -p $HOME/.qor && ln -s /run/victim $HOME/.qor/install.log ;;
    user-link) export HOME=/run/uhome; mkdir -p $HOME/.qor && ln -s /run/victim $HOME/.qor/install.log \
      && chown -hR nobody:nogroup $HOME ;;
    device) mknod /run/dev c 1 3 ;;
    planted) setpriv --reuid=nobody --regid=nogroup --clear-groups touch "$package" ;;
    stalled-chmod) run=(strace -qq -o /dev/null -e trace=fchmod -e inject=fchmod:delay_enter=3000000 "${run[@]}") ;;
    esac
  done
  [ "$action" = hup-at-prompt ] && { mkfifo in; exec 3<>in; stdin=3; }
  # shellcheck disable=SC2086
  if [ $tty = 1 ]; then
    printf 'y\n' | script -qfec "${run[*]} $args" /dev/null >out 2>err &
  else
    "${run[@]}" $args <&$stdin >&$stdout 2>err &
  fi
  pid=$!
  # Waits end as soon as their condition holds; the bound is for a slow,
  # loaded machine.
  patience=120
  await() { local end=$((SECONDS + patience)); until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done; }
  gone() { ! kill -0 $pid 2>/dev/null; }
  # Another run of the same installer while this one runs ends at once,
  # saying so, and touches none of this run's files.
  second_run() { # USER GROUP
    local busy=" ERROR : another installation is in progress, started by user root, and uses $package ;"
    busy+=" wait until it has ended, then run the installer again."
    setpriv --reuid="$1" --regid="$2" --clear-groups env -u DISPLAY "$L" accepteula </dev/null >second 2>&1
    local got=$?
    [ $got = 16 ] || fail "second run: exit status $got, expected 16"
    [ "$(grep -v '^$' second | tail -n 1)" = "$busy" ] || { fail "second run said:"; cat second; }
  }
  window() { timeout $patience xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1; }
  case $action in
  escape) w=$(window) && xdotool windowfocus --sync "$w" key Escape ;;
  install)
    w=$(window) && xdotool windowfocus --sync "$w" key --delay 300 Return Tab space Return
    # Escape closes the window once the installation is over, whatever the
    # result; before that it only dismisses the "still running" notice.
    end=$((SECONDS + patience))
    while ! gone && [ $SECONDS -lt $end ]; do xdotool key Escape; sleep 0.5; done ;;
  term-at-window)
    w=$(window) && kill -TERM $pid && sleep 1
    kill -0 $pid 2>/dev/null || fail "the launcher did not wait for the wizard"
    xdotool windowfocus --sync "$w" key Escape ;;
  kill-x-at-rpm) # the X server is run-under-xvfb.sh's child, as this script is
    w=$(window) && xdotool windowfocus --sync "$w" key --delay 300 Return Tab space Return
    await test -e /run/rpm-started && kill "$(pgrep -P $PPID -x Xvfb)" ;;
  term-at-rpm)
    await test -e /run/rpm-started
    kill -TERM $pid ;;
  second-at-rpm)
    await test -e /run/rpm-started && second_run 0 0 ;;
  second-at-window)
    w=$(window) && second_run nobody nogroup && xdotool windowfocus --sync "$w" key Escape ;;
  term-at-write)
    await compgen -G '/tmp/qor*_ui_bin' >/dev/null
    kill -TERM "$(pgrep -P $pid)" ;;
  hup-at-prompt)
    await grep -q 'Yes/No' out
    kill -HUP $pid ;;
  esac
  await gone
  kill -0 $pid 2>/dev/null && { fail "the launcher did not end"; kill $pid; }
  wait $pid
  got=$?
  [ "$got" = "$status" ] || fail "exit status $got, expected $status"
  got=$(tr -d '\r' <out | grep -v '^$' | tail -n 1)
  [ "$got" = "$last" ] || fail "last line '$got', expected '$last'"
  rpm -q qor >/dev/null 2>&1 && got=yes || got=no
  [ "$got" = "$installed" ] || fail "installed: $got, expected $installed"
  got=$(ls /tmp | grep '^qor' | tr '\n' ' ')
  [ "${got:--}" = "$left" ] || fail "left in /tmp: $got"
  [ -z "$(xdotool search --name "^$title\$" 2>/dev/null)" ] || fail "the wizard outlived the launcher"
  [ "$(cat /run/victim)" = victim ] || fail "written through the link: $(cat /run/victim)"
  [ ! -e /run/dev ] || [ -c /run/dev ] || fail "the device was replaced"
  [ "$failures" = 0 ] && echo "ok: $name" || { echo "output:"; cat out; echo "standard error:"; cat err; }
  exit $((failures > 0))
fi

sandbox=$1 xvfb_run=$2 launcher=$3 only=${4:-}
wizard=$(strings "$launcher" | grep -m 1 -x '/tmp/[A-Za-z0-9._+-]*_ui_bin') package=${wizard%_ui_bin}
[ -n "$wizard" ] || { echo "FAIL: no wizard path in $launcher"; exit 1; }
host_state() { ls /usr/bin/qor-cli "$package" "$package.license.txt" "$wizard" 2>/dev/null; cat /var/lib/rpm/* "$HOME"/.rpmdb/* 2>/dev/null | md5sum; }
before=$(host_state)
failed=0
for row in "${rows[@]}"; do
  [[ -z $only || $row == "$only"* ]] || continue
  "$sandbox" "$xvfb_run" "$0" --inside "$row" "$launcher" || failed=1
done
[ "$before" = "$(host_state)" ] || { echo "FAIL: the host changed"; failed=1; }
exit $failed
