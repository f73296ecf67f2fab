#!/bin/bash
# bench/install_page.sh BUILD_DIR [SIZE_MB[/MB_PER_S]...]
# The real wizard in BUILD_DIR, under Xvfb, walked to its install page while
# a stand-in package tool writes to its standard output in 4 KiB pieces, as
# fast as it can or at MB_PER_S (a tool that works while it writes). Three
# workloads (QOR_BENCH_WORKLOADS, default "rpm wide text"):
#   rpm   SIZE_MB megabytes of rpm-like lines (default sizes: 0 1 5 20 20/10),
#         the view's whole text read over AT-SPI;
#   wide  20 MB of 4,095-character lines, each write one line and its newline,
#         in the C.UTF-8 locale, the page's header read over AT-SPI;
#   text  one German line in a Latin-1 (de_DE.ISO-8859-1) and in a UTF-8
#         (de_DE.UTF-8) locale, each in the locale's encoding: whether the
#         view shows it right.
# Watched from outside, for each size:
#   stall    the longest time the window answered no _NET_WM_PING, from the
#            tool's start until the result is on the screen (bench/window_probe.c)
#   AT-SPI   the longest time between two reads over the accessibility bus,
#            as a screen reader makes them, from the tool's start until the
#            result (bench/atspi_probe.py; the wizard runs with its
#            accessibility bridge on); for "wide" also the reads made while
#            the tool wrote
#   result   from the tool's end until the page title changes on the screen
#   run      from the tool's start until then, and that time divided by the
#            tool's own run time (the same output into a pipe that cat drains)
#   memory   the wizard's VmHWM at the end, and above its VmHWM just before
#            the tool started
# Prints a Markdown section: medians of QOR_BENCH_RUNS runs (default 3).
# QOR_BENCH_HOGS=N: N busy loops run alongside, as on a machine that other
# work keeps busy.
# QOR_BENCH_PERF=DIR: perf records the wizard (call graphs) from just before
# the tool's start until the result, one DIR/perf-*.data per run.
# Not a test: no pass or fail; the numbers depend on the machine and its load.
set -eu

if [ "${1:-}" = --inside ]; then
  shift
  wizard=$1 work=$2 runs=$3 workloads=$4 here=$(cd "$(dirname "$0")/.." && pwd)
  shift 4
  median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
  since() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", b - a }'; }
  hwm_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
  wait_for() { # FILE SECONDS
    local i
    for i in $(seq $(($2 * 100))); do [ -s "$1" ] && return 0; sleep 0.01; done
    return 1
  }

  # OUTPUT_FILE RATE READS LOCALE; READS is "view" (the view's whole text) or
  # "header" (the page title). Prints: stall result run tool_in_wizard hwm_mb
  # above_idle_mb atspi reads_while_the_tool_wrote; the view's text at the end
  # is in $work/run/view.
  one_run() {
    rm -rf "$work/run" "$work/home/.qor"
    mkdir -p "$work/run"
    QOR_BENCH_DIR=$work/run QOR_BENCH_OUTPUT=$1 QOR_BENCH_RATE=$2 PATH=$work/bin:/usr/bin:/bin HOME=$work/home \
      LOCPATH=$work/locales LC_ALL=$4 QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$wizard" </dev/null >/dev/null 2>&1 &
    local pid=$! window
    window=$(timeout 60 xdotool search --sync --onlyvisible --name 'Setup$' | head -n 1)
    "$work/window_probe" "$window" 64 >"$work/run/probe" &
    local probe=$!
    xdotool windowfocus --sync "$window"
    # Next on the welcome page, the agreement box, Next: the tool starts and
    # waits for the go file.
    xdotool key --delay 300 Return Tab space Return
    sleep 1
    kill -USR1 $probe
    local reads=(--view-to "$work/run/view" "$(basename "$wizard")" "Installation Succesful.")
    [ "$3" = view ] || reads=(--header "Installing.." --view-to "$work/run/view" "$(basename "$wizard")" "Finished.")
    timeout 600 /usr/bin/python3 "$here/bench/atspi_probe.py" "${reads[@]}" >"$work/run/atspi" &
    local reader=$!
    for _ in $(seq 6000); do grep -qs '^view' "$work/run/atspi" && break; sleep 0.01; done
    sleep 0.3
    local idle
    idle=$(hwm_kb $pid)
    local perf=
    if [ -n "${QOR_BENCH_PERF:-}" ]; then
      perf record -q -g -F 4000 -k CLOCK_REALTIME -p $pid -o "$QOR_BENCH_PERF/perf-$(date +%s%N).data" 2>/dev/null &
      perf=$!
      sleep 0.5
    fi
    touch "$work/run/go"
    wait_for "$work/run/tool-end" 600
    for _ in $(seq 60000); do grep -q '^changed' "$work/run/probe" && break; sleep 0.01; done
    wait $reader || echo "the AT-SPI probe failed" >&2
    [ -z "$perf" ] || { kill -INT $perf; wait $perf || true; }
    local hwm
    hwm=$(hwm_kb $pid)
    kill $probe; wait $probe || true
    kill $pid; wait $pid 2>/dev/null || true

    local start end changed stall
    start=$(cat "$work/run/tool-start")
    end=$(cat "$work/run/tool-end")
    changed=$(awk '$1 == "changed" { print $2 }' "$work/run/probe")
    [ -n "$changed" ] || { echo "no result on the screen" >&2; return 1; }
    # Every ping answered after the tool started and sent before the result
    # showed; the longest wait among them is the stall.
    stall=$(awk -v s="$start" -v c="$changed" '
      ($1 == "pong" || $1 == "unanswered") && $3 >= s && $2 <= c { if ($3 - $2 > m) m = $3 - $2 }
      END { printf "%.3f\n", m }' "$work/run/probe")
    # The longest time between two reads, one at or after the tool's start
    # (the probe stops at the first read that shows the result), and the
    # reads that ended while the tool wrote.
    local atspi
    atspi=$(awk -v s="$start" -v e="$end" '
      $1 == "read" { if (prev != "" && $2 >= s && $2 - prev > m) m = $2 - prev; prev = $2; if ($2 >= s && $2 <= e) n++ }
      END { printf "%.3f %d\n", m, n }' "$work/run/atspi")
    echo "$stall $(since "$end" "$changed") $(since "$start" "$changed") $(since "$start" "$end")" \
         "$(awk -v h="$hwm" -v i="$idle" 'BEGIN { printf "%.1f %.1f", h / 1024, (h - i) / 1024 }') $atspi"
  }

  tool_alone() { # OUTPUT_FILE RATE
    rm -rf "$work/alone"; mkdir -p "$work/alone"; touch "$work/alone/go"
    QOR_BENCH_DIR=$work/alone QOR_BENCH_OUTPUT=$1 QOR_BENCH_RATE=$2 "$work/bin/tool" | cat >/dev/null
    since "$(cat "$work/alone/tool-start")" "$(cat "$work/alone/tool-end")"
  }
  col() { awk -v k="$1" '{ print $k }' "$work/runs" | median; }
  each() { awk -v k="$1" '{ print $k }' "$work/runs" | sort -n | paste -sd ' '; }

  case " $workloads " in *" rpm "*)
    echo "| output | longest AT-SPI gap (each run) | longest ping stall | result after the tool's end | tool's start to result | tool alone | ratio | VmHWM | above idle |"
    echo "|---|---|---|---|---|---|---|---|---|"
    for spec in "$@"; do
      mb=${spec%/*} rate=
      [ "$spec" = "$mb" ] || rate=${spec#*/}
      out=$work/output-$mb
      alone=$(for _ in $(seq 5); do tool_alone "$out" "$rate"; done | median)
      : >"$work/runs"
      for _ in $(seq "$runs"); do one_run "$out" "$rate" view C.UTF-8 >>"$work/runs"; done
      run=$(col 3)
      printf '| %s MB%s | %s s (%s) | %s s | %s s | %s s | %s s | %s | %s MB | %s MB |\n' "$mb" "${rate:+ at $rate MB/s}" \
        "$(col 7)" "$(each 7)" "$(col 1)" "$(col 2)" "$run" "$alone" \
        "$(awk -v r="$run" -v a="$alone" 'BEGIN { printf "%.1f", r / a }')" "$(col 5)" "$(col 6)"
    done
    echo ;;
  esac

  case " $workloads " in *" wide "*)
    echo "| 20 MB of 4,095-character lines, C.UTF-8 | each run |"
    echo "|---|---|"
    : >"$work/runs"
    for _ in $(seq "$runs"); do one_run "$work/output-wide" "" header C.UTF-8 >>"$work/runs"; done
    echo "| longest gap between two header reads | $(col 7) s ($(each 7)) |"
    echo "| header reads while the tool wrote | $(col 8) ($(each 8)) |"
    echo "| longest ping stall | $(col 1) s ($(each 1)) |"
    echo "| VmHWM above idle | $(col 6) MB ($(each 6)) |"
    echo "| result after the tool's end | $(col 2) s ($(each 2)) |"
    echo "| the tool's run, beside the wizard (alone: $(for _ in $(seq 5); do tool_alone "$work/output-wide" ""; done | median) s) | $(col 4) s ($(each 4)) |"
    echo "| tool's start to result | $(col 3) s ($(each 3)) |"
    echo ;;
  esac

  case " $workloads " in *" text "*)
    echo "| locale | the tool writes | the view shows | right |"
    echo "|---|---|---|---|"
    for row in "de_DE.ISO-8859-1:\\374:0xFC" "de_DE.UTF-8:\\303\\274:0xC3 0xBC"; do
      IFS=: read -r locale bytes hex <<<"$row"
      printf "Entpacken von qor (3.1.1) %bber ...\n" "$bytes" >"$work/output-text"
      one_run "$work/output-text" "" view "$locale" >/dev/null
      shown=$(head -n 1 "$work/run/view")
      right=no
      [ "$shown" = "Entpacken von qor (3.1.1) über ..." ] && right=yes
      echo "| $locale | Entpacken von qor (3.1.1) [$hex]ber ... | $shown | $right |"
    done
    echo ;;
  esac
  exit 0
fi

build=$(cd "${1:?usage: bench/install_page.sh BUILD_DIR [SIZE_MB[/MB_PER_S]...]}" && pwd)
shift
sizes=${*:-0 1 5 20 20/10}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
hogs=
trap '[ -z "$hogs" ] || kill $hogs; [ -n "${QOR_BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT

cmake --build "$build" --target qor-wizard >/dev/null
cc -O2 -o "$work/window_probe" "$here/bench/window_probe.c" -lxcb

# The stand-in for every tool the wizard may choose: waits for the go file,
# then writes its output file in 4 KiB pieces, time-stamping start and end.
# With a rate it writes a megabyte at a time and keeps to the rate.
mkdir -p "$work/bin" "$work/home"
cat >"$work/bin/tool" <<'EOF'
#!/bin/bash
while [ ! -e "$QOR_BENCH_DIR/go" ]; do sleep 0.01; done
date +%s.%N >"$QOR_BENCH_DIR/tool-start"
if [ -z "$QOR_BENCH_RATE" ]; then
  dd if="$QOR_BENCH_OUTPUT" bs=4096 status=none
else
  start=$(date +%s%N) mb=$(( $(stat -c %s "$QOR_BENCH_OUTPUT") >> 20 ))
  for i in $(seq 0 $((mb - 1))); do
    dd if="$QOR_BENCH_OUTPUT" bs=4096 skip=$((i * 256)) count=256 status=none
    due=$(( start + (i + 1) * 1000000000 / QOR_BENCH_RATE )) now=$(date +%s%N)
    [ "$now" -ge "$due" ] || sleep "$(awk -v d=$((due - now)) 'BEGIN { printf "%.3f", d / 1e9 }')"
  done
fi
date +%s.%N >"$QOR_BENCH_DIR/tool-end"
EOF
chmod +x "$work/bin/tool"
for t in rpm dpkg pkexec gpk-install-local-file; do ln -s tool "$work/bin/$t"; done

workloads=${QOR_BENCH_WORKLOADS:-rpm wide text}
# Lines the length of a package tool's file list, numbered so none repeats.
for mb in $(for spec in $sizes; do echo "${spec%/*}"; done | sort -un); do
  awk -v n=$((mb << 20)) 'BEGIN {
    while (total < n) { line = sprintf("Installing /usr/share/qor/resources/data-%08d.bin ... done\n", i++);
                        printf "%s", line; total += length(line) } }' >"$work/output-$mb"
done
# 20 MB of lines that fill a write each: 4,095 characters and a newline.
awk 'BEGIN { pad = sprintf("%4086s", ""); gsub(/ /, "x", pad)
             for (i = 0; i < 5120; i++) printf "%08d %s\n", i, pad }' >"$work/output-wide"
mkdir -p "$work/locales"
localedef -i de_DE -f ISO-8859-1 "$work/locales/de_DE.ISO-8859-1" 2>/dev/null || true
localedef -i de_DE -f UTF-8 "$work/locales/de_DE.UTF-8" 2>/dev/null || true

echo "## Install page under heavy output"
echo
echo "\`bench/install_page.sh\` ($workloads): the real wizard under Xvfb, its accessibility bridge on, as"
echo "$(id -un), while a stand-in tool writes rpm-like lines in 4 KiB pieces as fast as it can (or at"
echo "the rate given), or 20 MB of 4,095-character lines, one write each; medians of ${QOR_BENCH_RUNS:-3}"
echo "runs; load average $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores$([ "${QOR_BENCH_HOGS:-0}" -eq 0 ] || echo ", with $QOR_BENCH_HOGS busy loops alongside")."
echo
for _ in $(seq "${QOR_BENCH_HOGS:-0}"); do
  (while :; do :; done) &
  hogs="$hogs $!"
done
# A session bus of its own, which starts the accessibility bus on demand;
# the accessibility registry it starts greets on standard output.
# shellcheck disable=SC2086
"$here/tests/run-under-xvfb.sh" dbus-run-session -- "$0" --inside "$build/qor-wizard" "$work" "${QOR_BENCH_RUNS:-3}" \
  "$workloads" $sizes | grep -v '^SpiRegistry daemon is running'
