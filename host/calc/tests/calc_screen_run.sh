#!/bin/sh
# Runs the test of Calc at a real screen in a world of its own: Xvfb outermost
# (a screen of 1600x1000 under a window manager the test starts), then a
# private session bus whose activated servers draw on that screen; private
# runtime, config and cache folders, so that parallel runs share no
# accessibility bus. Calc uses its GTK plug-in, whose toolbars the
# accessibility tree shows.
set -eu
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kest721calc-screen-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -m 700 "$WORK/runtime" "$WORK/config" "$WORK/cache"
export XDG_RUNTIME_DIR="$WORK/runtime" XDG_CONFIG_HOME="$WORK/config" XDG_CACHE_HOME="$WORK/cache"
export GSETTINGS_BACKEND=memory NO_AT_BRIDGE=0 SAL_USE_VCLPLUGIN=gtk3
unset QT_QPA_PLATFORM
exec xvfb-run -a -s "-screen 0 1600x1000x24" \
    dbus-run-session -- /usr/bin/python3 "$(dirname "$0")/calc_screen.py" "$@"
