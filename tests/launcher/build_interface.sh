#!/bin/bash
# build_interface.sh SOURCE_DIR WORK_DIR CMAKE
# The release engineer's interface, through a nested configure and build of
# the launcher alone: wrong inputs fail at configure time naming the variable,
# the payloads land in the launcher byte for byte in the agreed layout, and a
# changed input (a relinked wizard too) rebuilds the launcher.
set -u
src=$1 work=$2 cmake=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$work/in"
build=$work/build
name="qor-build-interface-$$.rhel6.i686.rpm"
trap 'rm -rf "$work"; rm -f "/tmp/$name" "/tmp/$name.license.txt" "/tmp/${name}_ui_bin"' EXIT

# Odd lengths, so that the size words behind the payloads are unaligned.
printf 'Licence, first edition.\n\n' >"$work/in/licence.txt"
printf 'package\000one\377' >"$work/in/package.bin"
wizard_script() { printf '#!/bin/sh\necho %s >"$QOR_BI_OUT"\n' "$1" >"$work/in/wizard"; chmod 755 "$work/in/wizard"; }
wizard_script first

configure() {
  "$cmake" -S "$src" -B "$build" -DBUILD_TESTING=OFF -DQOR_BUILD_WIZARD=OFF \
    -DQOR_LICENSE_FILE="$work/in/licence.txt" -DQOR_NATIVE_PACKAGE="$work/in/package.bin" \
    -DQOR_WIZARD_PROGRAM="$work/in/wizard" -DQOR_PACKAGE_FILE_NAME="$name" "$@" >"$work/configure.log" 2>&1
}
launcher=$build/qor-setup

configure || { cat "$work/configure.log"; fail "configure with good inputs"; exit 1; }
"$cmake" --build "$build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; exit 1; }

# Wrong inputs: configure fails and names the variable.
long=$(printf 'q%.0s' $(seq 1004))
while IFS='|' read -r variable value; do
  if configure -D"$variable=$value"; then
    fail "configure accepted $variable='${value:0:40}'"
  elif ! grep -q "$variable" "$work/configure.log"; then
    fail "configure failed without naming $variable for '${value:0:40}'"; cat "$work/configure.log"
  else
    pass "refused $variable='${value:0:40}'"
  fi
done <<EOF
QOR_LICENSE_FILE|$work/in/missing.txt
QOR_NATIVE_PACKAGE|$work/in/missing.rpm
QOR_WIZARD_PROGRAM|$work/in/missing
QOR_WIZARD_PROGRAM|
QOR_PACKAGE_FILE_NAME|qor;id.rpm
QOR_PACKAGE_FILE_NAME|qor x.rpm
QOR_PACKAGE_FILE_NAME|\$(id).rpm
QOR_PACKAGE_FILE_NAME|dir/qor.rpm
QOR_PACKAGE_FILE_NAME|
QOR_PACKAGE_FILE_NAME|$long
EOF
configure -DQOR_PACKAGE_FILE_NAME="${long:1}" && pass "accepted a name of 1003 characters" \
  || fail "refused a name of 1003 characters"
configure && "$cmake" --build "$build" >"$work/build.log" 2>&1 || fail "configure and build again with good inputs"

# The payload section holds each input followed by its length, nothing else;
# with QOR_COMPRESS_WIZARD the wizard as one zstd frame that unpacks to it.
compressed=no
le32() { local n=$1; printf "\\$(printf %03o $((n & 255)))\\$(printf %03o $((n >> 8 & 255)))\\$(printf %03o $((n >> 16 & 255)))\\$(printf %03o $((n >> 24 & 255)))"; }
check_layout() {
  local stored=$work/in/wizard
  if [ $compressed = yes ]; then
    stored=$build/launcher/qor-setup.gen/wizard.zst
    zstd -dcq "$stored" | cmp -s - "$work/in/wizard" && pass "the stored wizard unpacks to the wizard $1" \
      || fail "the stored wizard unpacks to the wizard $1"
  fi
  { for f in "$work/in/licence.txt" "$work/in/package.bin" "$stored"; do cat "$f"; le32 "$(stat -c %s "$f")"; done; } \
    >"$work/expected"
  # The release launcher is stripped: find the payloads by the licence's first line.
  local start
  start=$(grep -obaF -m 1 "$(head -n 1 "$work/in/licence.txt")" "$launcher" | head -n 1 | cut -d: -f1)
  tail -c +$((${start:-0} + 1)) "$launcher" | head -c "$(stat -c %s "$work/expected")" >"$work/section"
  if cmp -s "$work/expected" "$work/section"; then pass "payload layout $1"; else fail "payload layout $1"; fi
}

run_checks() { # $1: what changed
  check_layout "$1"
  rm -f "$work/out"
  "$launcher" extract "$work/out" >/dev/null
  cmp -s "$work/out" "$work/in/package.bin" && pass "extracted package $1" || fail "extracted package $1"
  echo n | env -u DISPLAY "$launcher" >"$work/text.out"
  grep -qF "$(head -n 1 "$work/in/licence.txt")" "$work/text.out" && pass "licence shown $1" \
    || fail "licence shown $1"
  rm -f "$work/wizard.out"
  DISPLAY=:99 QOR_BI_OUT="$work/wizard.out" "$launcher" >/dev/null
  [ "$(cat "$work/wizard.out" 2>/dev/null)" = "$(sed -n 's/^echo \([a-z]*\) .*/\1/p' "$work/in/wizard")" ] \
    && pass "wizard run $1" || fail "wizard run $1"
}

rebuild_after() { # $1: what changed; the launcher must have been relinked
  local before
  before=$(stat -c %Y.%s "$launcher")
  sleep 1.1
  eval "$2"
  "$cmake" --build "$build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "rebuild $1"; return; }
  if [ "$(stat -c %Y.%s "$launcher")" = "$before" ]; then fail "launcher not rebuilt after $1"; fi
  run_checks "after $1"
}

run_checks "at first"
before=$(stat -c %Y "$launcher")
"$cmake" --build "$build" >/dev/null 2>&1
[ "$(stat -c %Y "$launcher")" = "$before" ] && pass "nothing rebuilt without a change" \
  || fail "launcher rebuilt without a change"
rebuild_after "a new licence" "printf 'Licence, second edition, longer.\n' >'$work/in/licence.txt'"
rebuild_after "a new package" "printf 'package two\000' >'$work/in/package.bin'"
rebuild_after "a relinked wizard" "wizard_script second"
compressed=yes
rebuild_after "compression switched on" "configure -DQOR_COMPRESS_WIZARD=ON"
rebuild_after "a relinked wizard, compressed" "wizard_script third"
# Switched off again, the layout is the default one, byte for byte.
compressed=no
rebuild_after "compression switched off" "configure -DQOR_COMPRESS_WIZARD=OFF"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
