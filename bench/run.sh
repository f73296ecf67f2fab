#!/bin/bash
# bench/run.sh [BUILD_DIR]   (default: build, configured and built if needed)
# The one benchmark command: installs the tools it needs (hyperfine, time,
# makeself), builds the release launcher and launchers carrying 4, 64 and
# 512 MiB packages, measures them against their anchors in the same run, and
# writes bench/RESULTS.md. Other bench/*.sh scripts that print Markdown
# sections (bench/install_page*.sh, bench/compressed_wizard.sh) are run last
# and appended.
# Not a test: no pass or fail; the numbers depend on the machine and its load.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
results=$here/bench/RESULTS.md
runs_small=${QOR_BENCH_RUNS:-15}
sizes=${QOR_BENCH_SIZES:-4 64 512} # MiB

need=""
for tool in hyperfine:hyperfine /usr/bin/time:time makeself:makeself Xvfb:xvfb xdotool:xdotool xlogo:x11-apps \
  dbus-run-session:dbus-bin /usr/libexec/at-spi-bus-launcher:at-spi2-core; do
  command -v "${tool%%:*}" >/dev/null || need="$need ${tool#*:}"
done
# The install page's screen-reader probe (bench/atspi_probe.py).
/usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null || need="$need python3-gi gir1.2-atspi-2.0"
if [ -n "$need" ]; then
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
# The release installer (self-contained wizard), measured beside the
# system-Qt one; its static Qt is cached once per machine.
release=$here/build-release
(cd "$here" && cmake --preset release >/dev/null && cmake --build --preset release >/dev/null)

work=$(mktemp -d /tmp/qor-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
unset DISPLAY
out=$work/report.md

# hyperfine CSV -> "median min max cpu" in ms, one line per command; cpu is
# the mean user + system time, which a loaded machine disturbs less.
figures() { awk -F, 'NR > 1 { printf "%.2f %.2f %.2f %.2f\n", $4 * 1000, $7 * 1000, $8 * 1000, ($5 + $6) * 1000 }' "$1"; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
peak_rss_kib() { # COMMAND...: median of 3 runs of /usr/bin/time's maximum resident set size
  for _ in 1 2 3; do
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>&1 </dev/null || true
    awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt"
  done | median
}
payload_bytes() { # LAUNCHER: the three payloads with their size words
  # The launcher is stripped: the seal's offsets (see payloads.S.in) lead from
  # its magic to the first payload and to the last size word.
  local at d
  at=$(grep -obUaF 'qor-setup seal 1' "$1" | head -n 1 | cut -d: -f1)
  read -r -a d <<<"$(od -An -v -t d4 -j $((at + 16)) -N 24 "$1" | tr '\n' ' ')"
  echo $((d[5] + 4 - d[0]))
}
# A file just written sits in the page cache in small pieces, which makes
# reading it slower than after it has once been read back from disk (as a
# download is after a reboot): every input is written out, dropped from the
# cache and read back, so that all commands start from the same state.
settle() {
  sync "$@"
  for f in "$@"; do
    dd if="$f" iflag=nocache count=0 status=none
    cat "$f" >/dev/null
  done
}
launcher_for() { # MIB: a launcher carrying a package of MIB MiB of random bytes
  head -c $(($1 << 20)) /dev/urandom >"$work/pkg-$1"
  cmake -S "$here" -B "$work/build-$1" -DQOR_BUILD_WIZARD=OFF -DBUILD_TESTING=OFF \
    -DQOR_WIZARD_PROGRAM=/bin/true -DQOR_NATIVE_PACKAGE="$work/pkg-$1" \
    -DQOR_PACKAGE_FILE_NAME="qor-bench-$1.rpm" >/dev/null
  cmake --build "$work/build-$1" --target qor-setup >/dev/null
}

{
  echo "# Recorded benchmark results"
  echo
  echo "Written by \`bench/run.sh\` on $(date -u +%Y-%m-%d). Machine: $(nproc) cores" \
    "($(awk -F': *' '/model name/ { print $2; exit }' /proc/cpuinfo)), $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)" \
    "memory, /tmp on $(df -T /tmp | awk 'NR == 2 { print $2 }'), Linux $(uname -r), load average $(cut -d' ' -f1 /proc/loadavg) at the start."
  echo "Times are wall-clock medians with the spread (min–max) over the runs; each ratio"
  echo "divides by the anchor's median measured in the same run, page cache warm (inputs read"
  echo "back from disk once, as after a reboot)."
  echo
  echo "## Extraction (launcher)"
  echo
  echo "\`qor-setup extract FILE\` (every byte checked against its CRC-32C on the way) against"
  echo "\`cp\` of the same package file and against makeself 2.4.5 \`--nocomp\` archives of it"
  echo "extracted with \`--noexec --target\`, without (\`--nomd5 --nocrc\`) and with its default"
  echo "CRC and MD5 checks. CPU: mean user + system time (less disturbed by other load than"
  echo "wall time). Peak RSS: median of 3 runs of \`/usr/bin/time -v\`."
  echo
  echo "| package | command | median ms | spread ms | × cp | CPU ms | CPU × cp | peak RSS KiB |"
  echo "|---|---|---|---|---|---|---|---|"
} >"$out"

declare -A per_mib rss
for mib in $sizes; do
  case $mib in 4) runs=$runs_small mruns=5 ;; 64) runs=10 mruns=5 ;; *) runs=7 mruns=3 ;; esac
  launcher_for "$mib"
  launcher=$work/build-$mib/qor-setup
  mkdir -p "$work/ms-$mib"
  ln "$work/pkg-$mib" "$work/ms-$mib/pkg"
  makeself --nocomp --nomd5 --nocrc --quiet "$work/ms-$mib" "$work/plain-$mib.run" bench true >/dev/null
  makeself --nocomp --quiet "$work/ms-$mib" "$work/checked-$mib.run" bench true >/dev/null
  settle "$work/pkg-$mib" "$launcher" "$work/plain-$mib.run" "$work/checked-$mib.run"
  target=$work/out
  # Every run starts with the last one's output gone and written back, so
  # that no run pays for writing back what an earlier one left dirty; cp and
  # qor-setup close together in time, makeself after.
  printf '#!/bin/sh\nrm -rf "%s"\nsync\n' "$target" >"$work/prepare"
  chmod +x "$work/prepare"
  hyperfine -N --style none --warmup 1 --runs "$runs" --export-csv "$work/x-$mib.csv" \
    --prepare "$work/prepare" "cp $work/pkg-$mib $target" "$launcher extract $target" >/dev/null
  hyperfine -N --style none --runs "$mruns" --export-csv "$work/m-$mib.csv" --prepare "$work/prepare" \
    "$work/plain-$mib.run --quiet --noexec --nox11 --target $target" \
    "$work/checked-$mib.run --quiet --noexec --nox11 --target $target" >/dev/null
  tail -n +2 "$work/m-$mib.csv" >>"$work/x-$mib.csv"
  rm -rf "$target"
  "$launcher" extract "$target" >/dev/null && cmp -s "$target" "$work/pkg-$mib" || echo "extracted package differs" >&2
  rm -rf "$target"
  rss[cp]=$(peak_rss_kib cp "$work/pkg-$mib" "$target")
  rss[qor]=$(peak_rss_kib "$launcher" extract "$target")
  rss[plain]=$(peak_rss_kib "$work/plain-$mib.run" --quiet --noexec --nox11 --target "$target")
  rss[checked]=$(peak_rss_kib "$work/checked-$mib.run" --quiet --noexec --nox11 --target "$target")
  figures "$work/x-$mib.csv" | awk -v mib="$mib" -v r1="${rss[cp]}" -v r2="${rss[qor]}" -v r3="${rss[plain]}" \
    -v r4="${rss[checked]}" '
    BEGIN { split("cp|qor-setup extract|makeself, no checks|makeself, CRC + MD5", name, "|"); split(r1 " " r2 " " r3 " " r4, rss, " ") }
    { if (NR == 1) { anchor = $1; cpu = $4 }
      printf "| %d MiB | %s | %.1f | %.1f–%.1f | %.2f | %.1f | %.2f | %s |\n", mib, name[NR], $1, $2, $3, $1 / anchor,
        $4, $4 / cpu, rss[NR] }' >>"$out"
  per_mib[$mib]=$(figures "$work/x-$mib.csv" | awk -v mib="$mib" 'NR <= 2 { printf "%s%.2f", NR == 1 ? "" : " ", $1 / mib }')
  per_mib[$mib]="${per_mib[$mib]} ${rss[qor]}"
  rm -rf "$work/build-$mib" "$work/ms-$mib" "$work/pkg-$mib" "$work"/*-"$mib".run
done
{
  echo
  echo "Growth, per MiB of package (cp ms, qor-setup ms, qor-setup peak RSS KiB):"
  for mib in $sizes; do echo "${mib} MiB: ${per_mib[$mib]}"; done | paste -sd ';' | sed 's/;/; /g'
  first=${sizes%% *} last=${sizes##* }
  # per_mib holds ms per MiB; back to ms for the slope between the ends.
  middle=$(echo $sizes | awk '{ print NF == 3 ? $2 : "" }')
  echo "${per_mib[$first]} ${per_mib[$last]} ${middle:+${per_mib[$middle]}}" | awk -v f="$first" -v l="$last" -v m="$middle" '{
    cp = ($4 * l - $1 * f) / (l - f); qor = ($5 * l - $2 * f) / (l - f)
    printf "From %s to %s MiB each further MiB costs cp %.2f ms and qor-setup %.2f ms (%.2f times as much)", f, l, cp, qor, qor / cp
    if (m != "") printf "; at %s MiB qor-setup lies %+.0f%% off the straight line through the ends", m, 100 * ($8 * m / ($2 * f + qor * (m - f)) - 1)
    printf ". qor-setup'"'"'s peak RSS changes by a factor %.2f while the package grows %d-fold.\n", $6 / $3, l / f }'
} >>"$out"

# Start to the licence prompt: a whole run that refuses the licence.
launcher=$build/qor-setup
mkdir -p "$work/ms-licence"
cp "$build"/demo/*.rpm "$work/ms-licence/"
makeself --nocomp --quiet --license "$here/demo/licence.txt" "$work/ms-licence" "$work/licence.run" bench true >/dev/null
hyperfine --ignore-failure --style none --warmup 3 --runs "$runs_small" --export-csv "$work/licence.csv" \
  "echo n | $work/licence.run --nox11" "echo n | $launcher" >/dev/null 2>&1
{
  echo
  echo "## Start to the licence prompt (launcher)"
  echo
  echo "A whole run that shows the demo licence and reads \"n\" from a pipe (both through \`sh -c\`)."
  echo
  echo "| command | median ms | spread ms | × makeself |"
  echo "|---|---|---|---|"
  figures "$work/licence.csv" | awk 'BEGIN { split("makeself --license|qor-setup", name, "|") }
    { if (NR == 1) anchor = $1; printf "| %s | %.1f | %.1f–%.1f | %.2f |\n", name[NR], $1, $2, $3, $1 / anchor }'
} >>"$out"

# Launcher bytes beyond the payloads, against makeself's header around the same three files.
payloads=$(payload_bytes "$launcher")
bytes_beyond() { echo $(($(stat -c %s "$1") - payloads)); }
cp "$build/qor-wizard" "$here/demo/licence.txt" "$work/ms-licence/"
makeself --nocomp --quiet --license "$here/demo/licence.txt" "$work/ms-licence" "$work/three.run" bench true >/dev/null
ms_beyond=$(($(stat -c %s "$work/three.run") - $(cat "$work/ms-licence"/* | wc -c)))
i686="not available (no cmake/i686.cmake in this tree)"
if [ -f "$here/cmake/i686.cmake" ]; then
  if cmake -S "$here" -B "$work/build-i686" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/i686.cmake" -DBUILD_TESTING=OFF \
       -DQOR_BUILD_WIZARD=OFF -DQOR_WIZARD_PROGRAM="$build/qor-wizard" >/dev/null 2>&1 \
     && cmake --build "$work/build-i686" --target qor-setup >/dev/null 2>&1; then
    i686="$(($(stat -c %s "$work/build-i686/qor-setup") - $(payload_bytes "$work/build-i686/qor-setup"))) bytes as built"
  else
    i686="not available (the i686 build failed)"
  fi
fi
{
  echo
  echo "## Launcher bytes beyond the payloads (launcher)"
  echo
  echo "| file | bytes beyond the payloads | × makeself |"
  echo "|---|---|---|"
  echo "| makeself 2.4.5 \`--nocomp --license\` around the same licence, package and wizard | $ms_beyond | 1.00 |"
  b=$(bytes_beyond "$launcher")
  echo "| qor-setup x86_64, static, stripped and sealed as built | $b | $(awk -v a="$b" -v m="$ms_beyond" 'BEGIN { printf "%.2f", a / m }') |"
  echo "| qor-setup i686 | $i686 | |"
  echo
  echo "These do not grow with the payloads: the payloads are joined in as they are."
} >>"$out"

# The wizard: from starting the launcher (no arguments, on a display) until the
# wizard's window is mapped, against xlogo, the smallest X client at hand.
if [ -x "$build/qor-wizard" ]; then
  "$here/tests/run-under-xvfb.sh" bash -c '
    launcher=$1 runs=$2 work=$3 release=$4
    window_after() { # TITLE COMMAND...: ms from start until a window so named is visible, then closes it
      local title=$1 t0 t1 w pid
      shift
      t0=$(date +%s%N)
      /usr/bin/time -v -o "$work/rss.txt" "$@" </dev/null >/dev/null 2>&1 &
      pid=$!
      w=
      while [ -z "$w" ]; do
        w=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1)
        [ -n "$w" ] || sleep 0.005
      done
      t1=$(date +%s%N)
      if [ "$title" = xlogo ]; then xdotool windowkill "$w"; else xdotool windowfocus --sync "$w" key Escape; fi
      wait $pid || true
      echo "$(( (t1 - t0) / 1000 )) $(awk -F": " "/Maximum resident set size/ { print \$2 }" "$work/rss.txt")"
    }
    for _ in $(seq "$runs"); do
      echo "xlogo $(window_after "^xlogo\$" xlogo)"
      echo "wizard $(window_after "Setup\$" env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$launcher")"
      echo "release $(window_after "Setup\$" env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$release")"
    done' bench "$launcher" 9 "$work" "$release/qor-setup" >"$work/window.txt"
  {
    echo
    echo "## Wizard start to its first window (launcher)"
    echo
    echo "From starting \`qor-setup\` without arguments under Xvfb (no window manager, no product"
    echo "installed) until the wizard's window is mapped and visible, polled every 5 ms; peak RSS of"
    echo "the launcher and the wizard it waits for. Anchor: \`xlogo\` started the same way. The system-Qt"
    echo "wizard (\`build/\`) and the self-contained one (\`build-release/\`, static Qt) in turn."
    echo
    echo "| program | median ms | spread ms | × xlogo | peak RSS KiB |"
    echo "|---|---|---|---|---|"
    for who in xlogo wizard release; do
      awk -v w="$who" '$1 == w { print $2 / 1000 }' "$work/window.txt" | sort -n | awk -v w="$who" '
        { a[NR] = $1 } END { printf "%s %.1f %.1f %.1f\n", w, a[int((NR + 1) / 2)], a[1], a[NR] }'
      awk -v w="$who" '$1 == w { print $3 }' "$work/window.txt" | median
    done | paste - - | awk '{ if (NR == 1) anchor = $2
      name = $1 == "wizard" ? "qor-setup → wizard, system Qt" : $1 == "release" ? "qor-setup → wizard, static Qt" : "xlogo"
      printf "| %s | %.1f | %.1f–%.1f | %.2f | %s |\n", name, $2, $3, $4, $2 / anchor, $5 }'
    echo
    echo "Neither depends on the package size: the wizard reads only the licence."
  } >>"$out"
fi

{
  echo
  echo "## The self-contained wizard's size (launcher)"
  echo
  echo "The wizard payload and the whole installer (demo licence and RPM), with the system's"
  echo "shared Qt (\`build/\`) and with its own static Qt (\`build-release/\`)."
  echo
  echo "| build | wizard bytes | installer bytes | × system Qt |"
  echo "|---|---|---|---|"
  for b in "system Qt:$build" "static Qt:$release"; do
    echo "${b%%:*} $(stat -c %s "${b#*:}/qor-wizard") $(stat -c %s "${b#*:}/qor-setup")"
  done | awk '{ if (NR == 1) anchor = $4
    printf "| %s %s | %d | %d | %.2f |\n", $1, $2, $3, $4, $4 / anchor }'
} >>"$out"

for script in "$here"/bench/install_page*.sh "$here"/bench/compressed_wizard.sh; do
  [ -x "$script" ] || continue
  { echo; "$script" "$build"; } >>"$out"
done
echo >>"$out"
echo "Load average at the end: $(cut -d' ' -f1 /proc/loadavg)." >>"$out"
mv "$out" "$results"
cat "$results"
