#!/bin/sh
# A stand-in for rpm-ostree and transactional-update, which Debian lacks: records
# its name, user id, whether the package (the last argument) exists and its arguments
# in /run/qor-image-tool.log, and ends with $QOR_STANDIN_LIVE_STATUS for --apply-live, else $QOR_STANDIN_STATUS.
status=${QOR_STANDIN_STATUS:-0}
for last; do [ "$last" = --apply-live ] && status=${QOR_STANDIN_LIVE_STATUS:-0}; done
present=missing
[ -f "$last" ] && present=present
echo "$(basename "$0") uid=$(id -u) package=$present $*" >>/run/qor-image-tool.log
echo "stand-in $(basename "$0"): $*"
exit "$status"
