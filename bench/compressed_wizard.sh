#!/bin/bash
# bench/compressed_wizard.sh [BUILD_DIR]
# The release installer with its wizard stored compressed (build-release/,
# cmake --preset release) beside one that stores the same wizard as it is
# (built from that wizard into a temporary folder), in one run:
#   size     the whole installer, and the launcher's bytes beyond its payloads
#   window   from starting the installer without arguments under Xvfb (no
#            window manager) until the wizard's first paint is on the screen
#            (bench/first_paint.c), in pairs, each pair in alternating order;
#            medians of each and of the pairs' differences
#   memory   the launcher's peak resident memory (VmHWM) once it has written
#            the wizard out and waits for it, and that of the child process
#            that unpacks every second frame meanwhile (sampled, in runs of
#            their own, as the sampling costs time)
# BUILD_DIR is ignored (the release builds are the subject); prints a
# Markdown section. QOR_BENCH_PAIRS: number of pairs (default 15).
# Not a test: no pass or fail; the numbers depend on the machine and its load.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
pairs=${QOR_BENCH_PAIRS:-15}
release=$here/build-release

if [ "${1:-}" = --inside ]; then
  work=$2
  median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
  one_run() { # NAME RUNS [-c]: appends "NAME MS HWM_KIB CHILD_HWM_KIB" to $work/RUNS
    local name=$1 runs=$2 probe line= ms hwm window child
    sync
    "$work/first_paint" ${3:-} 'Setup' env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$work/$name/qor-setup" >"$work/probe" \
      2>/dev/null </dev/null &
    probe=$!
    for _ in $(seq 6000); do
      line=$(head -n 1 "$work/probe")
      [ -n "$line" ] && break
      kill -0 $probe 2>/dev/null || break
      sleep 0.01
    done
    read -r ms hwm window _ child <<<"$line"
    [ -n "$window" ] || { echo "no window from the $name installer" >&2; wait $probe; return 1; }
    xdotool windowfocus --sync "$window" key Escape
    wait $probe || true
    echo "$name $ms $hwm $child" >>"$work/$runs"
  }
  for i in $(seq "$pairs"); do
    if [ $((i % 2)) = 1 ]; then order="stored compressed"; else order="compressed stored"; fi
    for name in $order; do one_run "$name" runs || exit 1; done
  done
  for i in 1 2 3; do one_run compressed memory -c || exit 1; done
  exit 0
fi

command -v xdotool >/dev/null && command -v Xvfb >/dev/null || {
  echo "compressed_wizard.sh: needs xdotool and Xvfb (tools/install-deps.sh)" >&2; exit 1; }
(cd "$here" && cmake --preset release >/dev/null && cmake --build --preset release >/dev/null)
grep -q '^QOR_COMPRESS_WIZARD:BOOL=ON' "$release/CMakeCache.txt" || {
  echo "compressed_wizard.sh: $release does not store its wizard compressed" >&2; exit 1; }

work=$(mktemp -d /tmp/qor-bench-compressed.XXXXXX)
trap 'rm -rf "$work"' EXIT
cc -O2 "$here/bench/first_paint.c" -lxcb -o "$work/first_paint"
# The same wizard, licence and package, stored as they are.
mkdir -p "$work/compressed"
cp "$release/qor-setup" "$work/compressed/"
cmake -S "$here" -B "$work/stored" -DBUILD_TESTING=OFF -DQOR_BUILD_WIZARD=OFF -DQOR_SELF_CONTAINED_WIZARD=ON \
  -DQOR_COMPRESS_WIZARD=OFF -DQOR_WIZARD_PROGRAM="$release/qor-wizard" >/dev/null
cmake --build "$work/stored" --target qor-setup >/dev/null
for b in stored compressed; do cat "$work/$b/qor-setup" >/dev/null; done

"$here/tests/run-under-xvfb.sh" "$0" --inside "$work"

payload_bytes() { # LAUNCHER: the three payloads with their size words, from the seal's offsets
  local at d
  at=$(grep -obUaF 'qor-setup seal 1' "$1" | head -n 1 | cut -d: -f1)
  read -r -a d <<<"$(od -An -v -t d4 -j $((at + 16)) -N 24 "$1" | tr '\n' ' ')"
  echo $((d[5] + 4 - d[0]))
}
{
  echo "## The release installer with its wizard compressed (launcher)"
  echo
  echo "The release installer (\`cmake --preset release\`), its wizard stored as zstd frames of 2 MiB each"
  echo "(level 19) and unpacked by the launcher as it writes it out, every second frame by a child process on"
  echo "the other core, beside the same wizard, licence and package stored as they are. Window: from starting"
  echo "the installer without arguments under Xvfb (no window manager, no product installed) until the"
  echo "wizard's first paint is on the screen (\`bench/first_paint.c\`), $pairs pairs in alternating order."
  echo "Memory: the launcher's peak resident memory (VmHWM) once it has written the wizard and waits for it,"
  echo "and that of the child process that unpacks every second frame (sampled every millisecond, in 3 runs"
  echo "of their own); medians. Load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores at the end."
  echo
  echo "| wizard stored | installer bytes | launcher bytes beyond the payloads | first paint, median ms | spread ms | launcher peak RSS KiB | its child's KiB |"
  echo "|---|---|---|---|---|---|---|"
  for b in stored compressed; do
    f=$work/$b/qor-setup
    read -r med lo hi <<<"$(awk -v b=$b '$1 == b { print $2 }' "$work/runs" | sort -n |
      awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)], a[1], a[NR] }')"
    hwm=$(awk -v b=$b '$1 == b { print $3 }' "$work/runs" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
    child=$(awk -v b=$b '$1 == b { print $4 }' "$work/memory" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
    # A launcher that stores the wizard as it is has no unpacking child.
    [ $b = stored ] && child=–
    echo "| $( [ $b = stored ] && echo 'as it is' || echo 'compressed') | $(stat -c %s "$f") | $(($(stat -c %s "$f") - $(payload_bytes "$f"))) | $med | $lo–$hi | $hwm | $child |"
  done
  # The pairs' differences, compressed minus stored, in the order the runs came.
  diffs=$(awk '$1 == "stored" { s[++n] = $2 } $1 == "compressed" { c[++m] = $2 }
    END { for (i = 1; i <= n && i <= m; ++i) print c[i] - s[i] }' "$work/runs" | sort -n)
  echo
  echo "Paired difference (compressed − as it is), median of $pairs pairs: $(echo "$diffs" |
    awk '{ a[NR] = $1 } END { printf "%+.1f ms (spread %+.1f to %+.1f ms)", a[int((NR + 1) / 2)], a[1], a[NR] }')."
  s=$(stat -c %s "$work/stored/qor-setup") c=$(stat -c %s "$work/compressed/qor-setup")
  echo "The compressed installer is $(awk -v s="$s" -v c="$c" 'BEGIN { printf "%.1f MB (%.0f %%", c / 1e6, 100 * c / s }') of the other)."
  echo "Neither process's memory grows with the wizard: each unpacks one 2 MiB frame at a time."
}
