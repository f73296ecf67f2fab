# shellcheck shell=sh
# cached-root.sh: sourced by the tools and test steps that make a root or a
# build once per machine and keep it under /var/cache for every later run.
# Set `cached_root_tool` to the caller's name before sourcing: the notes
# carry it.
#
# A cache folder holds one folder per recipe, named with cache_key over
# every line that changes the result, a marker that the recipe's folder is
# complete, and `lock`, which parallel callers take so that one of them
# makes a recipe while the others wait for it instead of making it again.

note() { echo "$cached_root_tool: $*" >&2; }
stop() { note "$*"; exit 1; }
# fail MESSAGE: MESSAGE and the end of the file $log, which holds the
# output of the step that failed.
fail() {
  note "$1; the last lines of $log:"
  tail -n 40 "$log" >&2
  exit 1
}

# cache_key WIDTH: the first WIDTH hex digits of the MD5 of standard input.
cache_key() { md5sum | cut -c 1-"$1"; }

# cache_mirror VARIABLE: sets mirror to the value of the environment
# variable VARIABLE, or else to the Debian mirror that this machine's apt
# configuration names ($here/debian-mirror.sh, $here being the caller's
# tools folder); stops where there is neither.
cache_mirror() {
  eval "mirror=\${$1:-}"
  [ -n "$mirror" ] || mirror=$("$here/debian-mirror.sh" || true)
  [ -n "$mirror" ] || stop "this machine's apt configuration names no Debian mirror: name one in $1"
}

# cache_writable CACHE [HINT]: CACHE made if it is not there; stops unless
# this user can write it.
cache_writable() {
  mkdir -p "$1" 2>/dev/null && [ -w "$1" ] || stop "$1 cannot be written: ${2:-run this once as root}"
}

# cache_lock CACHE [HINT]: the lock of CACHE, held on descriptor 9 until this
# shell ends.
cache_lock() {
  cache_writable "$@"
  exec 9>"$1/lock"
  flock 9
}

# cache_once CACHE DONE COMMAND...: COMMAND, unless the file DONE exists,
# under the lock of CACHE, which is released when it returns; DONE is made
# when COMMAND succeeds. A run that waited for the lock finds DONE made by
# the run that held it, and returns at once. The status is COMMAND's. Under
# `set -e`, a step of COMMAND that fails ends it (COMMAND is not run as a
# condition); without it, COMMAND must end itself on a failed step.
cache_once() {
  once_cache=$1 once_done=$2
  shift 2
  [ -e "$once_done" ] && return 0
  cache_writable "$once_cache"
  (
    flock 9 || exit 1
    [ -e "$once_done" ] && exit 0
    "$@"
    once_status=$?
    [ "$once_status" -eq 0 ] || exit "$once_status"
    touch "$once_done"
  ) 9>"$once_cache/lock"
}
