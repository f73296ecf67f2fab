#!/bin/bash
# whole_run.sh SANDBOX XVFB_RUN LAUNCHER CASE
# The release launcher as a user meets it: started on an X desktop without
# arguments, its real wizard driven from the keyboard, the demo RPM installed
# by the real rpm, all inside SANDBOX so that the host stays as it was.
#   install   Next, tick the agreement, Next, Finish: installed, client started
#   cancel    Escape on the welcome page: nothing installed, status 3
# Either way the launcher removes its files and says how the run ended.
set -u

if [ "${1:-}" = --inside ]; then
  launcher=$2 case_=$3
  failures=0
  # Bounds for waits that end as soon as their condition holds, set for a
  # slow, loaded machine.
  patience=120
  until_gone() { local end=$((SECONDS + patience)); while kill -0 "$1" 2>/dev/null && [ $SECONDS -lt $end ]; do sleep 0.1; done; }
  fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
  name=$(strings "$launcher" | grep -m 1 -x '/tmp/[A-Za-z0-9._+-]*_ui_bin')
  package=${name%_ui_bin}
  licence=$package.license.txt
  title='Pellandor Tolmerin 3.1.1.1912102 Setup'

  "$launcher" </dev/null >out 2>err &
  launcher_pid=$!
  window=$(timeout $patience xdotool search --sync --onlyvisible --name "^$title\$" | head -n 1)
  [ -n "$window" ] || { fail "no wizard window"; cat out err; kill $launcher_pid; exit 1; }
  echo "ok: wizard window $window"
  [ -x "$name" ] && [ -f "$licence" ] && [ -f "$package" ] && echo "ok: three files while the wizard runs" \
    || fail "files while the wizard runs: $(ls -l /tmp)"
  xdotool windowfocus --sync "$window"

  case $case_ in
  install)
    # Next on the welcome page, the agreement box, Next: the install starts.
    xdotool key --delay 300 Return Tab space Return
    end=$((SECONDS + patience))
    until grep -q 'Installation Finished' "$HOME/.qor/install.log" 2>/dev/null || [ $SECONDS -ge $end ]; do
      sleep 0.1
    done
    # Finish is the default button once the installation is over.
    end=$((SECONDS + patience))
    while [ $SECONDS -lt $end ]; do
      kill -0 $launcher_pid 2>/dev/null || break
      xdotool windowfocus "$window" key Return 2>/dev/null
      sleep 0.5
    done
    ;;
  cancel)
    xdotool key Escape
    ;;
  esac

  until_gone $launcher_pid
  if kill -0 $launcher_pid 2>/dev/null; then
    fail "the launcher did not end"; kill $launcher_pid
  fi
  wait $launcher_pid
  status=$?
  case $case_ in
  install) expected_status=0 end='Installation Finished' ;;
  cancel) expected_status=3 end='Installation cancelled: nothing was installed.' ;;
  esac
  [ $status -eq $expected_status ] && echo "ok: exit status $status" || fail "exit status $status"
  expected=$(printf '\nextracted Native installer to : %s\nextracted license file to : %s\nextracted ui installer file to : %s\n%s\n\n\n.' \
    "$package" "$licence" "$name" "$end")
  [ "$(cat out; echo .)" = "$expected" ] && echo "ok: launcher output" || { fail "launcher output:"; od -c out | tail -n 8; }
  [ ! -e "$name" ] && [ ! -e "$licence" ] && [ ! -e "$package" ] && echo "ok: files removed" \
    || fail "files left: $(ls /tmp)"

  case $case_ in
  install)
    [ "$(qor-cli -v 2>&1)" = $'EC_generateKey_FIPS_consistancy_test: GOOD Signature Verify!\n3.1.1.1912102' ] \
      && echo "ok: qor-cli answers" || fail "qor-cli -v: $(qor-cli -v 2>&1)"
    log=$(cat "$HOME/.qor/install.log")
    [ "${log: -22}" = $'\nInstallation Finished' ] && echo "ok: install log" || fail "install log: $log"
    # The demo client opens a window of its own once the wizard has closed.
    client=$(timeout $patience xdotool search --sync --onlyvisible --name '^Tolmerin$' | head -n 1)
    [ -n "$client" ] && echo "ok: qor-ui window" || fail "qor-ui did not start"
    ;;
  cancel)
    rpm -q qor >/dev/null 2>&1 && fail "installed after cancel" || echo "ok: nothing installed"
    [ ! -e "$HOME/.qor/install.log" ] && echo "ok: no install log" || fail "install log after cancel"
    ;;
  esac
  [ -s err ] && { echo "standard error:"; cat err; }
  exit $((failures > 0))
fi

sandbox=$1 xvfb_run=$2 launcher=$3 case_=$4
before=$( { ls /usr/bin/qor-cli /usr/bin/qor-ui 2>/dev/null; cat /var/lib/rpm/* "$HOME"/.rpmdb/* 2>/dev/null | md5sum; } )
work=$(mktemp -d /tmp/whole-run.XXXXXX)
(cd "$work" && "$sandbox" "$xvfb_run" "$0" --inside "$launcher" "$case_")
status=$?
rm -rf "$work"
after=$( { ls /usr/bin/qor-cli /usr/bin/qor-ui 2>/dev/null; cat /var/lib/rpm/* "$HOME"/.rpmdb/* 2>/dev/null | md5sum; } )
[ "$before" = "$after" ] || { echo "FAIL: the host changed"; exit 1; }
exit $status
