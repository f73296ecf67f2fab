# packagekit_client.sh: sourced by install_system.sh (group packagekit) once
# the user, the kit with the wizard program ($wizard) and the daemons are
# there. The wizard's PackageKit mode as a real process against the real
# packagekitd (apt backend), one row each: what is done to the daemon once
# the transaction runs, the package path, the exit status and a line of the
# program's own that must be in its output.

# row | when the transaction runs | package path                | status | line
pk_rows='
relative | -    | qor-ubuntu-pk.deb               | 1 | (org.freedesktop.PackageKit.Transaction.NoSuchFile)
missing  | -    | /tmp/no-such-ubuntu.deb         | 1 | PackageKit refused: installing /tmp/no-such-ubuntu.deb:
rpm      | -    | /tmp/qor-pk.rpm                 | 4 | PackageKit on this system cannot install this kind of package (application/x-rpm)
killed   | kill | /tmp/qor-ubuntu-pk.deb          | 3 | PackageKit stopped before the installation ended: the package may not be installed.
hung     | stop | /tmp/qor-ubuntu-pk.deb          | 3 | (org.freedesktop.DBus.Error.NoReply)
no bus   | -    | /tmp/qor-ubuntu-pk.deb          | 3 | nor PackageKit is available on this system: the system bus cannot be reached:
'

cp "$kit/$(basename "$demo_deb")" /tmp/qor-ubuntu-pk.deb &&
  cp "$kit/$(basename "$demo_rpm")" /tmp/qor-pk.rpm && chmod a+r /tmp/qor-*pk.* || status=1
while IFS='|' read -r row action path expected line; do
  row=$(echo $row) action=$(echo $action) path=$(echo $path) expected=$(echo $expected) line=$(echo $line)
  [ -n "$row" ] || continue
  restart_bus_services || { status=1; continue; }
  bus=
  [ "$row" = "no bus" ] && bus=DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus
  (cd /tmp && as_user $bus "$wizard" --install-with-packagekit "$path" >/tmp/pk-out 2>&1 && echo 0 >/tmp/pk-status ||
    echo $? >/tmp/pk-status) &
  client=$!
  if [ "$action" != - ]; then
    # Frozen while it works, so the row does not depend on how fast it is.
    until grep -q '^PackageKit: loading the cache' /tmp/pk-out 2>/dev/null || [ -e /tmp/pk-status ]; do sleep 0.05; done
    pkill -STOP -x packagekitd || true
    [ "$action" = kill ] && pkill -KILL -x packagekitd || true
  fi
  wait $client
  seen=$(cat /tmp/pk-status)
  if [ "$seen" = "$expected" ] && grep -qF -- "$line" /tmp/pk-out; then
    echo "ok: packagekit client, $row"
  else
    echo "FAIL: packagekit client, $row: status $seen, expected $expected and '$line':"; cat /tmp/pk-out
    status=1
  fi
  [ "$action" = stop ] && pkill -KILL -x packagekitd || true
  rm -f /tmp/pk-out /tmp/pk-status
  dpkg-query -W qor >/dev/null 2>&1 && { echo "FAIL: packagekit client, $row: qor got installed"; status=1; }
done <<EOF
$pk_rows
EOF
