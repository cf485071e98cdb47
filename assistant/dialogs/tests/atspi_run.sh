#!/bin/sh
# Runs the accessibility test in a world of its own: Xvfb outermost (Qt's
# accessibility bridge needs a real display), then a private session bus whose
# activated servers inherit the display and the bridge switch; private runtime,
# config and cache folders so that parallel runs do not share an accessibility bus.
set -eu
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kest721xl-a11y-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -m 700 "$WORK/runtime" "$WORK/config" "$WORK/cache"
export XDG_RUNTIME_DIR="$WORK/runtime" XDG_CONFIG_HOME="$WORK/config" XDG_CACHE_HOME="$WORK/cache"
export GSETTINGS_BACKEND=memory QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
unset QT_QPA_PLATFORM
exec xvfb-run -a dbus-run-session -- /usr/bin/python3 "$(dirname "$0")/atspi_dialogs.py" "$@"
