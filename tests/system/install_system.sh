#!/bin/sh
# install_system.sh WHAT PROGRAM...   (run it through sandbox.sh)
# Prepares the private namespace for one group of installation tests and
# runs them: WHAT is root (rpm and dpkg as root), user (pkexec with gdebi,
# the desktop installer and PackageKit, as a throwaway user; the worker tests
# as that user), packagekit (the wizard's PackageKit client as a process of
# its own), prereq (the prerequisite check against the real dpkg-query)
# prereq-page (the install page's dialogue, without pkexec, as that user),
# image (image-based systems, with stand-ins for their tools) or thin-home;
# as-user COMMAND..., restart-bus, hold-lock SECONDS and release-lock are
# steps of those groups' tables.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
xvfb="$here/../run-under-xvfb.sh"
what=$1
shift
user=qorinst
debs=/tmp/qor-prereq-debs
. "$here/bus_services.sh"

# Stand-ins for the packages the check asks for: "pkexec", "gdebi-core" and
# their other names "policykit-1" (gone since Debian 13) and "gdebi" (the GTK
# front end), with a conffile so that a removal leaves its config behind.
make_prereq_debs() {
  for name in pkexec policykit-1 gdebi-core gdebi; do
    root="$debs/$name"
    # A file of its own each: a package whose files all belong to another
    # too would "disappear" when that one is installed.
    mkdir -p "$root/DEBIAN" "$root/usr/share/qor-test"
    chmod 0755 "$root/DEBIAN"
    echo "$name" >"$root/usr/share/qor-test/$name"
    printf 'Package: %s\nVersion: 99.0\nArchitecture: all\nMaintainer: qor tests <tests@pellandor.invalid>\nDescription: stand-in for the prerequisite check\n' \
      "$name" >"$root/DEBIAN/control"
    mkdir -p "$root/etc/qor-test"
    echo "# test" >"$root/etc/qor-test/$name.conf"
    echo "/etc/qor-test/$name.conf" >"$root/DEBIAN/conffiles"
    dpkg-deb --root-owner-group --build "$root" "$debs/$name.deb" >/dev/null
  done
}

install_prereqs() {
  dpkg -i "$debs/policykit-1.deb" "$debs/gdebi.deb" >/dev/null
}

make_user() {
  useradd -M -d "/tmp/$user-home" -s /bin/sh "$user"
  mkdir -p "/tmp/$user-home"
  chown "$user" "/tmp/$user-home"
  chmod 0700 "/tmp/$user-home"
  write_polkit_rule "$user" /etc/polkit-1/rules.d/49-qor-test.rules
}

# hold_dpkg_lock SECONDS: dpkg's front-end lock held by another program,
# as apt and unattended-upgrades hold it ($lock_holder).
hold_dpkg_lock() {
  rm -f /tmp/dpkg-locked
  python3 -c 'import fcntl, sys, time
f = open("/var/lib/dpkg/lock-frontend", "w"); fcntl.lockf(f, fcntl.LOCK_EX)
open("/tmp/dpkg-locked", "w"); time.sleep(float(sys.argv[1]))' "$1" &
  lock_holder=$!
  until [ -e /tmp/dpkg-locked ]; do sleep 0.1; done
}

# Everything the user runs or reads, copied into a folder of the test's own:
# the checkout may lie below folders that other users cannot enter.
make_user_kit() {
  kit=/tmp/qor-user-kit
  mkdir -m 0755 "$kit"
  cp "$xvfb" "$here/../wizard/install_tool_standin.sh" "$@" "$kit/"
  chmod -R a+rX "$kit"
}

as_user() {
  runuser -u "$user" -- env -i HOME="/tmp/$user-home" PATH=/usr/local/bin:/usr/bin:/bin \
    XDG_RUNTIME_DIR="/tmp/$user-home" LANG=C.UTF-8 "$@"
}

status=0
case $what in
  root)
    program=$1
    mkdir -p /tmp/root-home
    HOME=/tmp/root-home "$xvfb" "$program" \
      rootInstallsRpmWithRpm rootRpmRefusesSameVersionAgain rootInstallsUbuntuDebWithDpkg \
      rootInstallsUbuntuWithoutPkexecOrGdebi || status=1
    ;;
  user) # PROGRAM WORKER_TESTS DEMO_RPM DEMO_DEB
    make_prereq_debs
    install_prereqs
    make_user
    install -m 0755 "$here/install_gpk_install_local_file.sh" /usr/local/bin/gpk-install-local-file
    make_user_kit "$@"
    start_bus_services ""
    xvfb=$kit/run-under-xvfb.sh program=$kit/$(basename "$1") worker_tests=$kit/$(basename "$2")
    as_user QOR_TEST_KIT="$kit" "$xvfb" "$program" userInstallsUbuntuDebThroughPkexecGdebi || status=1
    dpkg --purge qor >/dev/null
    as_user QOR_TEST_KIT="$kit" "$xvfb" "$program" userInstallsThroughGpkInstallLocalFile || status=1
    # The worker's own tests, now on the paths of a user who is not root.
    as_user QOR_TEST_KIT="$kit" QT_QPA_PLATFORM=offscreen "$worker_tests" || status=1
    # A stock desktop: no pkexec and no gpk-install-local-file, only PackageKit.
    dpkg --purge qor >/dev/null
    dpkg --purge --force-depends pkexec policykit-1 >/dev/null
    rm /usr/local/bin/gpk-install-local-file
    pk() { as_user QOR_TEST_KIT="$kit" "$xvfb" "$program" "userInstallsThroughPackageKit:$1" || status=1; }
    pk "deb, apt backend"
    dpkg --purge qor >/dev/null
    # Another package manager at work: for 20 s, then for as long as the
    # wizard waits to be cancelled.
    # /proc as hardened systems mount it: the user cannot see the holder.
    mount -o remount,hidepid=2 /proc || status=1
    hold_dpkg_lock 20 && pk "another program holds the lock"
    mount -o remount,hidepid=0 /proc
    dpkg --purge qor >/dev/null
    hold_dpkg_lock 600 && as_user QOR_TEST_KIT="$kit" "$xvfb" "$program" userCancelsWhileAnotherProgramInstalls || status=1
    # Held beyond the wait, which the environment shortens from 10 minutes.
    as_user QOR_LOCK_WAIT_SECONDS=20 QOR_TEST_KIT="$kit" "$xvfb" "$program" \
      "userInstallsThroughPackageKit:the lock held beyond the wait" || status=1
    kill "$lock_holder"
    rm /etc/polkit-1/rules.d/49-qor-test.rules
    restart_bus_services && pk "refused by polkit"
    ;;
  packagekit) # TABLE WIZARD DEMO_RPM DEMO_DEB: the wizard's PackageKit mode, tst_packagekit_client's rows
    make_user
    make_user_kit "$2"
    start_bus_services ""
    cp "$3" /tmp/qor-pk.rpm && cp "$4" /tmp/qor-ubuntu-pk.deb && chmod a+r /tmp/qor-*pk.* &&
      install -m 0600 "$4" /tmp/qor-unreadable.deb
    QOR_STEPS="$here/install_system.sh" QOR_WIZARD="$kit/$(basename "$2")" "$1" || status=1
    ;;
  image) # PROGRAM DEMO_RPM: image-based systems (image_system.sh) as root, then as that user
    . "$here/image_system.sh" && make_user && make_user_kit "$@" && make_image_system ostree && mkdir -p /tmp/root-home
    row() { as_user QOR_TEST_KIT="$kit" "$kit/run-under-xvfb.sh" "$kit/$(basename "$1")" "imageBasedSystem:$2" || status=1; }
    HOME=/tmp/root-home "$xvfb" "$1" "imageBasedSystem:root, rpm-ostree stand-in" || status=1
    rm -f /tmp/qor-*.rpm /run/qor-image-tool.log # root's, which the user could not replace
    row "$1" "user, rpm-ostree stand-in"
    make_image_system transactional && row "$1" "user, transactional-update stand-in"
    ;;
  thin-home) # WORKER_TESTS: a home whose disk fills only behind the cache (thin provisioning, NFS
    # over quota): ext4 on a sparse file on a full tmpfs, detached as the namespace ends
    mkdir -p /tmp/thin /tmp/thin-home && mount -t tmpfs -o size=2m thin /tmp/thin && truncate -s 32m /tmp/thin/disk
    mkfs.ext4 -q -O ^has_journal -E lazy_itable_init=0 /tmp/thin/disk && mount -o loop,noinit_itable /tmp/thin/disk /tmp/thin-home
    head -c 64m /dev/zero >/tmp/thin/filler 2>/dev/null || :
    QOR_THIN_HOME=/tmp/thin-home "$1" "logFailureKeepsExitCode:disk full behind the cache" || status=1 ;;
  as-user) cd /tmp && as_user "$@" || status=$? ;; # the table's steps
  restart-bus) restart_bus_services || status=1 ;;
  hold-lock) hold_dpkg_lock "$1" >/dev/null 2>&1 && echo "$lock_holder" >/tmp/qor-lock-holder ;; # SECONDS
  release-lock) # once no packagekitd runs
    while pgrep -x packagekitd >/dev/null; do sleep 0.1; done
    [ ! -e /tmp/qor-lock-holder ] || { kill "$(cat /tmp/qor-lock-holder)"; rm /tmp/qor-lock-holder; } ;;
  prereq)
    make_prereq_debs
    QOR_PREREQ_DEBS=$debs "$@" || status=1
    ;;
  prereq-page) # PAGE_TESTS TEST...: as a user without pkexec, and no system bus for PackageKit; a
    # process for each TEST, since a process connects to the system bus once
    dpkg --purge --force-depends pkexec policykit-1 >/dev/null
    make_user
    make_user_kit "$1"
    tests=$kit/$(basename "$1") && shift
    for t; do as_user QOR_TEST_KIT="$kit" "$kit/run-under-xvfb.sh" "$tests" "$t" || status=1; done
    ;;
  *)
    echo "install_system.sh: unknown group $what" >&2
    exit 2
    ;;
esac
exit "$status"
