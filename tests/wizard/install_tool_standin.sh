#!/bin/sh
# Stands in for the package tools that the install worker runs (rpm, dpkg,
# pkexec, gpk-install-local-file: links to this script). It records the name
# it was called by and its arguments in $QOR_TOOL_DIR/argv, then writes what
# $QOR_TOOL_MODE asks for. Between pieces of output it waits until the test
# has seen the previous progress text (the file $QOR_TOOL_DIR/goN appears),
# so every piece reaches the worker as a read of its own.
dir=$QOR_TOOL_DIR
{ basename "$0"; for a in "$@"; do printf '%s\n' "$a"; done; } >"$dir/argv"
gate() { while [ ! -e "$dir/go$1" ]; do sleep 0.02; done; }
case $QOR_TOOL_MODE in
  pieces)       printf 'one\n'; gate 1; printf 'two\n'; gate 2; printf 'three\n' ;;
  stderr-only)  printf 'warning: alien\n' >&2 ;;
  stderr-first) printf 'err\n' >&2; printf 'out\n' ;;
  nul)          printf 'ab\000cd'; gate 1; printf 'ef\n' ;;
  fail)         printf 'failing\n'; exit 1 ;;
  latin1)       printf 'caf\351 <b>x</b>\n'; exit 3 ;;
  bytes)        gate 0; i=0; for b in $(printf 'Entpacken von qor (3.1.1) \303\274ber ...\n' | od -An -v -to1); do
                  printf "\\$b"; i=$((i+1)); gate $i; done ;;
  killed-*)     ulimit -c 0; printf 'half\n'; kill -"${QOR_TOOL_MODE#killed-}" $$ ;;
  silent)       exit 0 ;;
  many)         i=0; while [ $i -lt 300 ]; do printf 'line %d\n' $i; i=$((i+1)); [ $((i % 10)) = 0 ] && sleep 0.01; done ;;
  flood)        i=0; while [ $i -lt 10000 ]; do printf 'line %05d of a long output\n' $i; i=$((i+1)); done ;;
  flood-euro)   yes "$(printf '\342\202\254')" | head -n 200000 | tr -d '\n'; printf 'x\n' ;;
  flood-stderr) i=0; while [ $i -lt 10000 ]; do printf 'line %05d of a long output\n' $i; i=$((i+1)); done >&2; exit 1 ;;
  parent)       printf 'parent %s\n' "$QOR_CLIENT_PARENT" ;;
  stdin)        if read -r line; then printf 'read: %s\n' "$line"; else printf 'stdin closed\n'; fi ;;
  *)            printf 'unknown QOR_TOOL_MODE %s\n' "$QOR_TOOL_MODE" >&2; exit 99 ;;
esac
