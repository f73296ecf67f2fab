#!/bin/bash
# reproducible.sh SOURCE_DIR WORK_DIR CMAKE ARCH
# Builds the installer twice from the same inputs, in two folders with
# different names and depths, and expects the same bytes in the launcher,
# the wizard and the demo packages. ARCH: x86_64 (the default build) or
# i686 (cmake/i686.cmake), skipped (77) where its i386 packages are missing.
set -u
src=$1 work=$2 cmake=$3 arch=$4
toolchain=()
if [ "$arch" = i686 ]; then
  "$src/tools/i686-ready.sh" || exit   # 77: skipped, with the reason
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/i686.cmake")
fi
mkdir -p "$work" && dir=$(mktemp -d "$work/reproducible-$arch.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
for b in one two/deeper; do
  { "$cmake" -S "$src" -B "$dir/$b" -DBUILD_TESTING=OFF "${toolchain[@]}" &&
    "$cmake" --build "$dir/$b" --target qor-setup --parallel 2; } >"$dir/build.log" 2>&1 \
    || { echo "FAIL: the build in $b:"; tail -n 20 "$dir/build.log"; exit 1; }
done
failures=0
for f in qor-setup qor-wizard demo/qor-3.1.1.1912102-1912102.rhel6.i686.rpm demo/qor_3.1.1.1912102-1912102.rhel6_all.deb; do
  if cmp "$dir/one/$f" "$dir/two/deeper/$f"; then echo "ok: $f the same"; else
    echo "FAIL: $f differs"; failures=$((failures + 1)); fi
done
exit $((failures > 0))
