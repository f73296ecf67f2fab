#!/bin/sh
# Stands in for the setup wizard: keeps copies of the files the launcher
# wrote for it and notes how it was started, then ends the way the test asks.
pkg=${0%_ui_bin}
if [ -n "${QOR_TEST_WIZARD_DIR:-}" ]; then
  cp "$pkg" "$QOR_TEST_WIZARD_DIR/package"
  cp "$pkg.license.txt" "$QOR_TEST_WIZARD_DIR/licence"
  cp "$0" "$QOR_TEST_WIZARD_DIR/wizard"
  stat -c %a "$0" "$pkg" "$pkg.license.txt" >"$QOR_TEST_WIZARD_DIR/mode"
  printf 'args=%s cwd=%s display=%s command=%s\n' "$#" "$PWD" "${DISPLAY-unset}" \
    "${QOR_INSTALLER_COMMAND-unset}" >"$QOR_TEST_WIZARD_DIR/started"
fi
case "${QOR_TEST_WIZARD_EXIT:-0}" in
  TERM) kill -TERM $$ ;;
  *) exit "${QOR_TEST_WIZARD_EXIT:-0}" ;;
esac
