"""Helpers shared by the tests that drive the servers through their bus
contract only (the Assistant's contract test, the spreadsheet host's test)."""
import time

import dbus
from gi.repository import GLib


def spin(cond, limit=60.0):
    """Runs the main loop until cond() holds; False after a limit far beyond any
    expected wait (a fault, not a measure of speed)."""
    ctx = GLib.MainContext.default()
    end = time.monotonic() + limit
    while not cond():
        if time.monotonic() > end:
            return False
        ctx.iteration(False)
        time.sleep(0.005)
    return True


def drain():
    """Hands every message already received to its handlers, so that signals a
    server sent before it ended reach nobody who listens from now on."""
    ctx = GLib.MainContext.default()
    while ctx.pending():
        ctx.iteration(False)


def _daemon():
    return dbus.SessionBus().get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")


def has_owner(name):
    return bool(_daemon().NameHasOwner(name, dbus_interface="org.freedesktop.DBus"))


def pid_of(name):
    return int(_daemon().GetConnectionUnixProcessID(name, dbus_interface="org.freedesktop.DBus"))


def error_parts(exc):
    """The number, source and description of a Norvale.Automation.Error."""
    assert exc.get_dbus_name() == "Norvale.Automation.Error", exc.get_dbus_name()
    number, source, description = exc.get_dbus_message().split("\n", 2)
    return int(number), source, description
