#!/bin/bash
# bench/run.sh BUILD_DIR
# Measures what a user waits for and what the single file costs, on the
# release launcher in BUILD_DIR and on a launcher carrying a 64 MiB package:
#   - launcher bytes beyond its three payloads (plain and stripped)
#   - "extract FILE" of the demo package and of the 64 MiB package
#   - graphical launch until the wizard window is visible (under Xvfb)
# Prints medians; bench/RESULTS.md keeps the recorded ones. Not a test: no
# pass or fail, numbers depend on the machine.
set -eu
build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
now() { date +%s.%N; }
elapsed_ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f\n", (b - a) * 1000 }'; }

payload_bytes() {
  local launcher=$1 total=0
  for symbol in qorlicensetext_size qornativeinstaller_size qoruiinstaller_size; do
    # The size symbol sits right behind its payload: its address minus the
    # payload's address is the payload length.
    local data=${symbol%_size}
    local start end
    start=$(nm "$launcher" | awk -v s="$data" '$3 == s { print $1 }')
    end=$(nm "$launcher" | awk -v s="$symbol" '$3 == s { print $1 }')
    total=$((total + 0x$end - 0x$start + 4))
  done
  echo "$total"
}

launcher=$build/qor-setup
stripped=$work/qor-setup.stripped
strip -o "$stripped" "$launcher"
payload=$(payload_bytes "$launcher")
echo "launcher size: $(stat -c %s "$launcher") bytes, payloads with size words: $payload bytes"
echo "launcher beyond payloads: $(( $(stat -c %s "$launcher") - payload )) bytes, stripped: $(( $(stat -c %s "$stripped") - payload )) bytes"

bench_extract() {
  local launcher=$1 runs=$2 t0 t1
  for _ in $(seq "$runs"); do
    rm -f "$work/out.pkg"
    t0=$(now)
    env -u DISPLAY "$launcher" extract "$work/out.pkg" >/dev/null
    t1=$(now)
    elapsed_ms "$t0" "$t1"
  done | median
}
echo "extract demo package: $(bench_extract "$launcher" 21) ms (median of 21)"

# A launcher whose package is 64 MiB of random bytes.
head -c $((64 << 20)) /dev/urandom >"$work/big.pkg"
cmake -S "$here" -B "$work/big" -DQOR_BUILD_WIZARD=OFF -DBUILD_TESTING=OFF \
  -DQOR_WIZARD_PROGRAM=/bin/true -DQOR_NATIVE_PACKAGE="$work/big.pkg" \
  -DQOR_PACKAGE_FILE_NAME=qor-bench-big.rpm >/dev/null
cmake --build "$work/big" --target qor-setup >/dev/null
echo "extract 64 MiB package: $(bench_extract "$work/big/qor-setup" 9) ms (median of 9)"

# Graphical launch: from start until the wizard's window is mapped.
if [ -x "$build/qor-wizard" ] && command -v xdotool >/dev/null; then
  "$here/tests/run-under-xvfb.sh" bash -c '
    launcher=$1 runs=$2
    for _ in $(seq "$runs"); do
      t0=$(date +%s.%N)
      PATH=/usr/sbin:/usr/bin:/sbin:/bin "$launcher" </dev/null >/dev/null 2>&1 &
      pid=$!
      # Polled every 10 ms: xdotool --sync itself waits in half seconds.
      w=
      while [ -z "$w" ]; do
        w=$(xdotool search --onlyvisible --name "Setup\$" 2>/dev/null | head -n 1)
        [ -n "$w" ] || sleep 0.01
      done
      t1=$(date +%s.%N)
      awk -v a="$t0" -v b="$t1" "BEGIN { printf \"%.1f\\n\", (b - a) * 1000 }"
      xdotool windowfocus --sync "$w" key Escape
      wait $pid
    done' bench "$launcher" 7 | median | sed 's/^/graphical launch to window: /; s/$/ ms (median of 7)/'
fi
