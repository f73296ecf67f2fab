#!/bin/bash
# launcher_system.sh SANDBOX CASE LAUNCHER
# Runs one whole-launcher case with the real package tools inside SANDBOX (a
# private mount namespace whose changes vanish), then checks that nothing of
# it reached the host. CASE is one of:
#   rpm        the demo RPM installed by the real "rpm -ivh"; a second run fails
#   gdebi      an Ubuntu build installed by the real /usr/bin/gdebi, answered on stdin,
#              declined first, then again once installed
#   gdebi-fails  the same build run by a user who is not root: gdebi fails
#   no-gdebi   the same build where gdebi-core is not installed: apt-get installs
#   no-gdebi-mixed-case  "Ubuntu" in the package file name, with neither gdebi nor apt-get
#   full-disk  a small tmpfs over /tmp: a short write leaves no partial file, and
#              the graphical launch removes what it wrote before
#   ostree, transactional, stray-ostree-booted  image_system.sh's systems: a stand-in rpm-ostree
#              (applied live, staged, failing) and transactional-update; the real rpm
set -u

if [ "${1:-}" = --inside ]; then
  case_=$2
  # Out of the way of the tmpfs that full-disk mounts over /tmp.
  launcher=/run/qor-launcher-under-test
  cp "$3" "$launcher" || exit 1
  failures=0
  fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
  expect_status() { [ "$1" -eq "$2" ] && echo "ok: $3 exit status $1" || fail "$3: exit status $1, expected $2"; }
  # The launcher's own bytes must be exactly these.
  expect_output() {
    if [ "$(cat "$1"; echo .)" = "$(printf '%b' "$2"; echo .)" ]; then echo "ok: $3 output"; else
      fail "$3 output:"; od -c "$1" | tail -n 12; fi
  }
  # What a package tool prints between them is its own, and varies by machine:
  # only the launcher's bytes before the tool runs and after it ends are pinned.
  expect_head() {
    local want; want=$(printf '%b.' "$2")
    if [ "$(head -c "$((${#want} - 1))" "$1"; echo .)" = "$want" ]; then echo "ok: $3 output begins"; else
      fail "$3 output begins:"; od -c "$1" | head -n 12; fi
  }
  expect_tail() {
    if printf '%s' "$2" | cmp -s - <(tail -c "${#2}" "$1"); then echo "ok: $3 output ends"; else fail "$3 output ends:"; cat "$1"; fi
  }
  . "$(dirname "$0")/image_system.sh"
  name=$(strings "$launcher" | grep -m 1 -x '/tmp/[A-Za-z0-9._+-]*_ui_bin')
  package=${name%_ui_bin}
  licence=$package.license.txt
  accepted="\n Product License Agreement Terms Accepted.\n\n Extracting native installer to '$package'\n\n\nLicense Agreement Terms: Accepted\n"

  case $case_ in
  rpm)
    printf 'yes\n' | env -u DISPLAY "$launcher" >out 2>err
    expect_status $? 0 "first install"
    expect_head out "\n Extracting native installer to '$package'\n\n\n\n" "first install"
    expect_tail out $'\nInstallation Finished\n\n\n' "first install"
    [ ! -e "$package" ] || fail "package left after a successful install"
    [ "$(qor-cli -v)" = $'EC_generateKey_FIPS_consistancy_test: GOOD Signature Verify!\n3.1.1.1912102' ] \
      && echo "ok: qor-cli answers" || fail "qor-cli -v: $(qor-cli -v 2>&1)"
    rpm -q qor >/dev/null || fail "rpm does not know qor"
    env -u DISPLAY "$launcher" accepteula </dev/null >out 2>err
    expect_status $? 1 "second install"
    expect_head out "$accepted" "second install"
    expect_tail out $'\nError Code:256\nApplication:rpm -ivh '"$package"$'\n\n\n' "second install"
    [ -f "$package" ] || fail "package removed after a failed install"
    ;;
  gdebi)
    # The first line answers the licence, the second gdebi's own question:
    # no, and gdebi ends with 0 having installed nothing.
    printf 'y\nn\n' | env -u DISPLAY "$launcher" >out 2>err
    expect_status $? 3 "gdebi declined"
    expect_tail out $'\nInstallation cancelled: nothing was installed.\n\n\n' "gdebi declined"
    dpkg-query -W qor >/dev/null 2>&1 && fail "qor installed although declined"
    [ ! -e "$package" ] || fail "package left after gdebi was declined"
    printf 'y\ny\n' | env -u DISPLAY "$launcher" >out 2>err
    expect_status $? 0 "gdebi install"
    expect_head out "\n Extracting native installer to '$package'\n\n\n\n" "gdebi install"
    expect_tail out $'\nInstallation Finished\n\n\n' "gdebi install"
    [ "$(dpkg-query -W -f '${Status}' qor 2>&1)" = "install ok installed" ] && echo "ok: qor installed" \
      || fail "qor not installed by gdebi"
    qor-cli -v | grep -qx 3.1.1.1912102 && echo "ok: qor-cli answers" || fail "qor-cli -v"
    [ ! -e "$package" ] || fail "package left after a successful install"
    # The same version again: no is a refusal, yes a reinstallation.
    printf 'y\nn\n' | env -u DISPLAY "$launcher" >out 2>err
    expect_status $? 3 "gdebi declined, installed before"
    expect_tail out $'\nInstallation cancelled: nothing was installed.\n\n\n' "gdebi declined, installed before"
    printf 'y\ny\n' | env -u DISPLAY "$launcher" >out 2>err
    expect_status $? 0 "gdebi reinstall"
    expect_tail out $'\nInstallation Finished\n\n\n' "gdebi reinstall"
    ;;
  gdebi-fails)
    # gdebi refuses a user who is not root: its failure is the launcher's,
    # which says why and leaves no package behind.
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -u DISPLAY "$launcher" accepteula </dev/null >out 2>err
    expect_status $? 1 "gdebi failing"
    expect_head out "$accepted" "gdebi failing"
    expect_tail out $'\nError Code:256\nApplication:/usr/bin/gdebi '"$package"$'\nInstalling needs root rights: run the installer as root, for example: sudo '"$launcher"$'\n\n\n' \
      "gdebi failing"
    [ ! -e "$package" ] || fail "package left after a failed install by a user who is not root"
    dpkg-query -W qor >/dev/null 2>&1 && fail "qor installed although gdebi failed"
    : >err # gdebi's own complaint, expected here
    ;;
  no-gdebi)
    dpkg --purge --force-depends gdebi-core >/dev/null 2>&1
    [ ! -e /usr/bin/gdebi ] || fail "could not remove gdebi"
    env -u DISPLAY "$launcher" accepteula </dev/null >out 2>err
    expect_status $? 0 "apt-get without gdebi"
    expect_head out "$accepted\ngdebi-core is not installed: installing with /usr/bin/apt-get install $package\n" \
      "apt-get without gdebi"
    expect_tail out $'\nInstallation Finished\n\n\n' "apt-get without gdebi"
    [ "$(dpkg-query -W -f='${Status}' qor)" = "install ok installed" ] || fail "qor not installed by apt-get"
    : >err # apt's own notices
    ;;
  no-gdebi-mixed-case)
    dpkg --purge --force-depends gdebi-core >/dev/null 2>&1
    mv /usr/bin/apt-get /usr/bin/apt-get.away
    [ ! -e /usr/bin/gdebi ] || fail "could not remove gdebi"
    env -u DISPLAY "$launcher" accepteula </dev/null >out 2>err
    expect_status $? 255 "without gdebi or apt-get"
    expect_output out "$accepted\nMissing dependency: gdebi-core is not installed.\n" "without gdebi or apt-get"
    [ -f "$package" ] || fail "package not written"
    ;;
  full-disk)
    mount -t tmpfs -o size=4k,mode=1777 full /tmp || { echo "cannot mount a tmpfs"; exit 1; }
    env -u DISPLAY "$launcher" accepteula </dev/null >out 2>err
    expect_status $? 28 "text mode on a full disk"
    expect_output out "$accepted\n ERROR : file extraction to $package :28\n" "text mode on a full disk"
    [ ! -e "$package" ] || fail "partial package left behind"
    # Room for the package but not the licence, which shows only at close.
    umount /tmp && mount -t tmpfs -o size=8k,mode=1777 full /tmp
    DISPLAY=:99 "$launcher" </dev/null >out 2>err
    expect_status $? 28 "graphical launch on a full disk"
    expect_output out "\nextracted Native installer to : $package\n ERROR : file extraction to $licence :28\n" \
      "graphical launch on a full disk"
    [ ! -e "$package" ] && [ ! -e "$licence" ] && [ ! -e "$name" ] || fail "files after the full disk: $(ls /tmp)"
    ;;
  ostree)
    make_image_system ostree
    call="rpm-ostree uid=0 package=present install --idempotent"
    restart=$'\nInstallation Finished\nRestart the computer to use it: the package is installed into the system for its next start.\n\n\n'
    image_row() { # LIVE_STATUS STATUS EXIT TAIL CALL...: one run, its end and the stand-in's record
      rm -f /run/qor-image-tool.log
      QOR_STANDIN_LIVE_STATUS=$1 QOR_STANDIN_STATUS=$2 env -u DISPLAY "$launcher" accepteula </dev/null >out 2>err
      expect_status $? "$3" "rpm-ostree $1/$2"
      expect_tail out "$4" "rpm-ostree $1/$2"
      [ "$(cat /run/qor-image-tool.log)" = "$(printf '%s\n' "${@:5}")" ] || fail "rpm-ostree calls: $(cat /run/qor-image-tool.log)"
    }
    image_row 0 0 0 $'\nInstallation Finished\nNo restart is needed: the package is in use on the running system already.\n\n\n' \
      "$call --apply-live $package"
    image_row 1 0 0 $'\nrpm-ostree did not apply the package to the running system: asking it to install the package for the next start instead.\n'"stand-in rpm-ostree: install --idempotent $package"$'\n'"$restart" \
      "$call --apply-live $package" "$call $package"
    image_row 1 1 1 $'\nError Code:256\nApplication:rpm-ostree install --idempotent '"$package"$'\n\n\n' \
      "$call --apply-live $package" "$call $package"
    [ -f "$package" ] || fail "package removed after rpm-ostree failed"
    ;;
  transactional)
    make_image_system transactional
    env -u DISPLAY "$launcher" accepteula </dev/null >out 2>err
    expect_status $? 0 "transactional-update"
    expect_tail out $'\nInstallation Finished\nRestart the computer to use it: the package is installed into the system for its next start.\n\n\n' "transactional-update"
    [ "$(cat /run/qor-image-tool.log)" = "transactional-update uid=0 package=present --non-interactive pkg install $package" ] \
      || fail "transactional-update calls: $(cat /run/qor-image-tool.log)"
    ;;
  stray-ostree-booted) # rpm installs into a writable /usr for real: the marker alone is no ostree system
    make_image_system stray
    env -u DISPLAY "$launcher" accepteula </dev/null >out 2>err
    expect_status $? 0 "stray /run/ostree-booted"
    expect_tail out $'\nInstallation Finished\n\n\n' "stray /run/ostree-booted"
    rpm -q qor >/dev/null && [ ! -e /run/qor-image-tool.log ] || fail "not installed by rpm: $(cat /run/qor-image-tool.log)"
    : >err # rpm's warning about alien
    ;;
  *) fail "unknown case $case_" ;;
  esac
  [ -s err ] && { echo "standard error:"; cat err; }
  exit $((failures > 0))
fi

sandbox=$1 case_=$2 launcher=$3
host_state() {
  for f in /usr/bin/qor-cli /usr/bin/qor-ui /tmp/qor-3.1.1.1912102-1912102.rhel6.i686.rpm; do
    [ -e "$f" ] && echo "$f exists"
  done
  cat /var/lib/dpkg/status /var/lib/rpm/* "$HOME"/.rpmdb/* 2>/dev/null | md5sum
}
before=$(host_state)
work=$(mktemp -d /tmp/launcher-system.XXXXXX)
(cd "$work" && "$sandbox" "$0" --inside "$case_" "$launcher")
status=$?
rm -rf "$work"
after=$(host_state)
if [ "$before" != "$after" ]; then
  echo "FAIL: the host changed: before: $before after: $after"
  exit 1
fi
exit $status
