#!/bin/bash
# run_ends.sh row FACTS ENVIRONMENTS USER ACTION LAUNCHER [ARG...]
#   (run through sandbox.sh and run-under-xvfb.sh; tst_run_ends holds the
#   table and judges each row from what this leaves in FACTS)
# run_ends.sh host-state LAUNCHER: what a row must leave of the host as it was
# One run of the release launcher as its user meets it, with the real rpm
# and wizard: in an environment, as a user, with arguments, and something
# done meanwhile. It leaves in FACTS: status, out and err (the launcher's
# output), installed (yes or no), left (the qor files in /tmp), and the
# facts of the action (waited, outlasted, outlived, victim, device,
# second-status, second-out).
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
# QOR_BUILD_FACTS names the build's qor_build_facts.sh (the window title).
set -u

if [ "$1" = row ]; then
  . "$QOR_BUILD_FACTS" || exit 1
  facts=$2 envs=$3 user=$4 action=$5 launcher=$6
  shift 6
  args=$*
  title=$QOR_WINDOW_TITLE
  mkdir -p /run/qor /run/row && cp "$launcher" "/run/qor/$QOR_INSTALLER_NAME" && chmod 755 /run/qor "/run/qor/$QOR_INSTALLER_NAME" || exit 1
  L=/run/qor/$QOR_INSTALLER_NAME
  package=$(strings "$L" | grep -m 1 -x '/tmp/[A-Za-z0-9._+-]*_ui_bin') package=${package%_ui_bin}
  cd /run/row || exit 1
  # The facts folder may lie under /tmp (a build there), which the row's own
  # /tmp would hide.
  mkdir -p /run/facts && mount --bind "$facts" /run/facts && facts=/run/facts || exit 1
  # A /tmp of the row's own: other tests write qor files to the shared one.
  mount -t tmpfs -o mode=1777 row /tmp || exit 1
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
    setpriv --reuid="$1" --regid="$2" --clear-groups env -u DISPLAY "$L" accepteula </dev/null >"$facts/second-out" 2>&1
    echo $? >"$facts/second-status"
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
    kill -0 $pid 2>/dev/null && echo yes >"$facts/waited"
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
  kill -0 $pid 2>/dev/null && { echo yes >"$facts/outlasted"; kill $pid; }
  wait $pid
  echo $? >"$facts/status"
  cp out err "$facts/"
  rpm -q qor >/dev/null 2>&1 && echo yes >"$facts/installed" || echo no >"$facts/installed"
  ls /tmp | grep '^qor' | tr '\n' ' ' >"$facts/left"
  [ -n "$(xdotool search --name "^$title\$" 2>/dev/null)" ] && echo yes >"$facts/outlived"
  cat /run/victim >"$facts/victim"
  [ ! -e /run/dev ] || [ -c /run/dev ] || echo replaced >"$facts/device"
  exit 0
fi

[ "$1" = host-state ] || { echo "run_ends.sh: row or host-state, not $1" >&2; exit 2; }
wizard=$(strings "$2" | grep -m 1 -x '/tmp/[A-Za-z0-9._+-]*_ui_bin') package=${wizard%_ui_bin}
[ -n "$wizard" ] || { echo "FAIL: no wizard path in $2"; exit 1; }
ls /usr/bin/qor-cli "$package" "$package.license.txt" "$wizard" 2>/dev/null; cat /var/lib/rpm/* "$HOME"/.rpmdb/* 2>/dev/null | md5sum
