#!/bin/sh
# sandbox.sh COMMAND [ARG...]
# Runs COMMAND as root in a private mount and PID namespace in which /usr,
# /etc, /var, /root and /tmp are overlays: package tools install for real,
# and every change vanishes when COMMAND ends. The host's files under those
# folders stay visible (read-only underneath); write results elsewhere, for
# example into the build folder.
#   QOR_SANDBOX_DBUS=1        also start a private system bus (for pkexec)
#   QOR_SANDBOX_SHARE_NET=1   keep the host's network namespace (to reach a
#                             desktop's X server over TCP or abstract sockets)
#   QOR_SANDBOX_KEEP=DIR      DIR stays the host's, also where it lies under
#                             an overlaid folder (a build under /tmp): results
#                             written there outlast the sandbox
# Exits 77 (a skipped test) when not root: the namespace needs it.
set -eu
if [ "$(id -u)" -ne 0 ]; then
  echo "sandbox.sh: needs root for a private mount namespace; skipped" >&2
  exit 77
fi
# A network namespace of its own too: X servers and buses started inside
# listen on abstract sockets, which are shared per network namespace and
# would otherwise meet those of other sandboxes and of the host.
net=--net
[ "${QOR_SANDBOX_SHARE_NET:-0}" = 1 ] && net=
exec unshare --mount --propagation private --pid $net --fork --mount-proc sh -c '
  set -e
  mount -t tmpfs sandbox /run
  keep=${QOR_SANDBOX_KEEP:-}
  [ -z "$keep" ] || { mkdir -p /run/sb/keep && mount --bind "$keep" /run/sb/keep; }
  for d in usr etc var root tmp; do
    mkdir -p /run/sb/$d.up /run/sb/$d.wk
    mount -t overlay overlay -o lowerdir=/$d,upperdir=/run/sb/$d.up,workdir=/run/sb/$d.wk /$d
  done
  [ -z "$keep" ] || { mkdir -p "$keep" && mount --bind /run/sb/keep "$keep"; }
  chmod 1777 /tmp
  mkdir -p /run/dbus /etc/rpm /var/lib/rpm
  echo "%_dbpath /var/lib/rpm" > /etc/rpm/macros
  if [ "${QOR_SANDBOX_DBUS:-0}" = 1 ]; then
    dbus-daemon --system --nopidfile --fork
  fi
  set +e
  "$@"' sandbox "$@"
