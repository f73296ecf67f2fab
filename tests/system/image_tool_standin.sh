#!/bin/sh
# A stand-in for rpm-ostree and transactional-update (installed under those
# names), which Debian does not have. It appends to /run/qor-image-tool.log
# the name it was called by, its user id, whether the package (its last
# argument) exists, and its arguments; says so on standard output; and ends
# with $QOR_STANDIN_LIVE_STATUS when asked for --apply-live, else with
# $QOR_STANDIN_STATUS (both 0 unless set).
status=${QOR_STANDIN_STATUS:-0}
for last; do [ "$last" = --apply-live ] && status=${QOR_STANDIN_LIVE_STATUS:-0}; done
present=missing
[ -f "$last" ] && present=present
echo "$(basename "$0") uid=$(id -u) package=$present $*" >>/run/qor-image-tool.log
echo "stand-in $(basename "$0"): $*"
exit "$status"
