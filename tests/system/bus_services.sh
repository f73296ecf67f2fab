# shellcheck shell=sh
# bus_services.sh: sourced by the tests and the bench that install as a user
# who is not root. A system bus must already run (sandbox.sh starts one);
# DBUS_SYSTEM_BUS_ADDRESS names it where it is not this system's default.

# write_polkit_rule USER FILE [NO]: polkit lets USER run pkexec and every
# PackageKit and dnf5 daemon action without asking (no agent answers in a
# test); with NO it refuses them all.
write_polkit_rule() {
  mkdir -p "$(dirname "$2")" && cat >"$2" <<RULE
polkit.addRule(function(action, subject) {
    if (subject.user == "$1" && (action.id == "org.freedesktop.policykit.exec"
                                 || action.id.indexOf("org.freedesktop.packagekit.") == 0
                                 || action.id.indexOf("org.rpm.dnf.v0.") == 0))
        return polkit.Result.${3:-YES};
});
RULE
}

# start_bus_services ROOT [PACKAGEKITD_ARG...]: polkitd, and packagekitd
# where ROOT has one, run in ROOT ("" for this system), then waited for.
# They would start on first use, within the 25-second bounds of D-Bus
# activation and of the callers' requests; started here, and waited for with
# room for a cold start on a loaded machine, they cannot make an
# installation fail by being slow to come up.
start_bus_services() {
  bus_root=$1
  shift
  in_bus_root "$bus_root" /usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
  await_name org.freedesktop.PolicyKit1 true || return 1
  [ -x "$bus_root/usr/libexec/packagekitd" ] || return 0
  in_bus_root "$bus_root" /usr/libexec/packagekitd "$@" >/dev/null 2>&1 &
  await_name org.freedesktop.PackageKit true
}
in_bus_root() {
  bus_in=$1
  shift
  if [ -z "$bus_in" ]; then "$@"; else chroot "$bus_in" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; fi
}

# restart_bus_services: both daemons anew (of this system); polkitd reads
# its rules again.
restart_bus_services() {
  pkill -x polkitd; pkill -x packagekitd
  await_name org.freedesktop.PolicyKit1 false && await_name org.freedesktop.PackageKit false &&
    start_bus_services ""
}

# await_name NAME true|false: until NAME has an owner on the bus, or none.
await_name() {
  end=$(($(date +%s) + 120))
  until [ "$(gdbus call --system --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null)" = "($2,)" ]; do
    [ "$(date +%s)" -lt "$end" ] || { echo "bus_services.sh: $1 owned is not $2" >&2; return 1; }
    sleep 0.1
  done
}
