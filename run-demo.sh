#!/bin/sh
# Builds the installer from the demo inputs and runs it. The run happens in a
# private mount namespace whose changes vanish afterwards, so the host's
# package database stays as it was. Arguments go to the installer.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
"$here/tools/build.sh" OFF
echo "Built $here/build/qor-setup; running it in a throwaway sandbox."
# The desktop's X server may be reachable only through the host's network.
export QOR_SANDBOX_SHARE_NET=1
if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=DISPLAY,XAUTHORITY,QOR_SANDBOX_SHARE_NET "$here/tests/system/sandbox.sh" "$here/build/qor-setup" "$@"
fi
exec "$here/tests/system/sandbox.sh" "$here/build/qor-setup" "$@"
