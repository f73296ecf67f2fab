#!/bin/bash
# fleet.sh PLAYBOOK WORK_DIR RPM_LAUNCHER DEB_LAUNCHER: the playbook, run twice by ansible-playbook over
# chroot connections, against private hosts: overlays on a Debian root that mmdebstrap makes once per
# machine (the only download), in namespaces of their own; neither this machine nor the root changes.
set -u
[ "$(id -u)" -eq 0 ] || { echo "fleet.sh: needs root for namespaces and chroots; skipped"; exit 77; }
if [ "${1:-}" != --inside ]; then
  cached_root_tool=fleet && . "$(dirname "$0")/../../tools/cached-root.sh"
  packages=python3,rpm,gdebi-core cache=/var/cache/qor-fleet
  root=$cache/bookworm-$(echo $packages | cache_key 8) && log=$root.log
  make_root() { rm -rf "$root" && note "making $root (once)" && unshare --mount mmdebstrap --variant=minbase \
    --include=$packages --customize-hook='mkdir -p "$1/etc/rpm" "$1/var/lib/rpm" &&
      echo "%_dbpath /var/lib/rpm" >"$1/etc/rpm/macros"' bookworm "$root" >"$log" 2>&1 || fail "mmdebstrap failed"; }
  cache_once $cache "$root.done" make_root || exit 1
  state() { ls -d {,"$root"}/{usr/bin/qor-cli,var/cache/qor-setup} 2>&1; cat {,"$root"}/var/lib/{dpkg/status,rpm/*} 2>&1 | md5sum; }
  before=$(state) && rm -rf "$2" && mkdir -p "$2/layers" || exit 1
  unshare --mount --propagation private --pid --net --fork --mount-proc "$0" --inside "$root" "$@"
  rc=$? && [ "$(state)" = "$before" ] || { echo "FAIL: this machine or the cached root changed: $(state)"; exit 1; }
  exit $rc
fi

root=$2 playbook=$3 work=$4 rpm=$5 deb=$6
mount -t tmpfs layers "$work/layers" || exit 1
printf '[all:vars]\nansible_connection=community.general.chroot\nansible_become_method=su\n%s\n[fleet]\n' \
  ansible_python_interpreter=/usr/bin/python3 >"$work/hosts.ini"
# Each host, its installer, and how it differs from a fresh Debian with rpm and gdebi.
while read -r host installer change; do
  r=$work/hosts/$host && mkdir -p "$r" "$work/layers/$host.up" "$work/layers/$host.wk" &&
    mount -t overlay o -o "lowerdir=$root,upperdir=$work/layers/$host.up,workdir=$work/layers/$host.wk" "$r" &&
    mount --rbind /dev "$r/dev" && mount -t proc proc "$r/proc" && chroot "$r" sh -c "$change" || exit 1
  echo "$r qor_installer=${!installer}" >>"$work/hosts.ini"
done <<'EOF'
rpm      rpm  printf '#!/bin/sh\necho self-test\necho 3.1.0\n' >/usr/bin/qor-cli && chmod 755 /usr/bin/qor-cli
deb      deb
newer    deb  printf '#!/bin/sh\necho self-test\necho 3.2\n' >/usr/bin/qor-cli && chmod 755 /usr/bin/qor-cli
no-rpm   rpm  dpkg --purge --force-depends rpm >/dev/null
no-gdebi deb  dpkg --purge --force-depends gdebi-core >/dev/null
EOF
# Per run and host: the installer's status (- when it did not run), whether anything changed, the
# outcome with the installer's last line, and what qor-cli -v says afterwards.
for run in 1 2; do
  HOME=$work ANSIBLE_PIPELINING=1 ANSIBLE_STDOUT_CALLBACK=ansible.posix.json \
    ansible-playbook -i "$work/hosts.ini" "$playbook" >"$work/run$run" 2>"$work/run$run.err"
  jq -r --arg run $run '.plays[0].tasks[-1].hosts as $t | .stats | keys[] as $h | .[$h] as $s | ($t[$h] // {}) as $i
    | "\($run) \($h | split("/")[-1]) \($i.rc // "-") \(if $s.changed > 0 then "changed" else "same" end) \(
      if $s.failures > 0 then "failed: " + ($i.stdout | split("\n")[-1]) else "ok" end)"' "$work/run$run" |
    paste -d ' ' - <(for r in "$work"/hosts/*; do v=$(chroot "$r" qor-cli -v 2>/dev/null | tail -n 1); echo "${v:--}"; done)
done >"$work/seen"
diff -u - "$work/seen" <<'EOF' || { cat "$work/run1.err"; exit 1; }
1 deb 0 changed ok 3.1.1.1912102
1 newer - changed ok 3.2
1 no-gdebi 0 changed ok 3.1.1.1912102
1 no-rpm 127 changed failed: Application:rpm -ivh /tmp/qor-3.1.1.1912102-1912102.rhel6.i686.rpm -
1 rpm 0 changed ok 3.1.1.1912102
2 deb - same ok 3.1.1.1912102
2 newer - same ok 3.2
2 no-gdebi - same ok 3.1.1.1912102
2 no-rpm 127 same failed: Application:rpm -ivh /tmp/qor-3.1.1.1912102-1912102.rhel6.i686.rpm -
2 rpm - same ok 3.1.1.1912102
EOF
