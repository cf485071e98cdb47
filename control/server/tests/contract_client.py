#!/usr/bin/python3
"""A client of the kest720 server that knows only its bus contract.

    contract_client.py PORT   an error, properties, open, initialise, read
                              settings, stream, download the log, read a dose

Prints one line per result; exits 0 when every step went as the contract says.
"""
import sys

import dbus
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "Norvale720.kest720"
I = "Norvale720._kest720"
E = "Norvale720.__kest720"
P = "org.freedesktop.DBus.Properties"
LONG = 120  # seconds: Initialize takes seconds at the meter's line rate


def error_parts(exc):
    assert exc.get_dbus_name() == "Norvale.Automation.Error", exc.get_dbus_name()
    number, source, description = exc.get_dbus_message().split("\n", 2)
    return int(number), source, description


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    port = int(sys.argv[1])
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    factory = bus.get_object(NAME, "/")
    path = factory.CreateInstance(dbus_interface="Norvale.Automation.ClassFactory")
    obj = bus.get_object(NAME, path)
    props = dbus.Interface(obj, P)
    k = dbus.Interface(obj, I)
    print("created", path)

    def get(name):
        return props.Get(I, name, timeout=LONG)

    try:
        get("Model")
        print("Model read before Initialize did not fail")
        return 1
    except dbus.DBusException as exc:
        print("Model error: %d|%s|%s" % error_parts(exc))

    props.Set(I, "Port", dbus.Int16(port))
    print("Port", int(get("Port")))
    k.OpenPort(timeout=LONG)

    k.Initialize(timeout=LONG)
    for name in ("Model", "SerialNumber", "Units", "AlarmRange", "AlarmPercent", "SampleRate",
                 "ClearLogSetting", "ModeButton"):
        print(name, get(name))
    ranges = get("Ranges")
    print("Ranges", len(ranges), "|".join(str(r[0]) for r in ranges))

    loop = GLib.MainLoop()
    readings = []
    downloads = []
    ends = []

    def on_live(measured):
        readings.append(measured)
        print("live %g %d %d %s" % (measured[0], measured[1], measured[2], measured[3]))
        if len(readings) == 3:
            k.StopLog(timeout=LONG)
            print("stopped")
            loop.quit()

    def on_download(degrees, measured):
        downloads.append(measured)
        print("record %g %g %d %d %s" % (degrees, measured[0], measured[1], measured[2],
                                         measured[3]))

    def on_end(what):
        ends.append(what)
        print(what)
        loop.quit()

    def on_timeout():
        print("timed out")
        loop.quit()
        return False

    bus.add_signal_receiver(on_live, "LiveData", E, None, path)
    bus.add_signal_receiver(lambda: on_end("LiveDataError"), "LiveDataError", E, None, path)
    bus.add_signal_receiver(on_download, "DataDownload", E, None, path)
    bus.add_signal_receiver(lambda: on_end("DataDownloadComplete"), "DataDownloadComplete", E,
                            None, path)
    bus.add_signal_receiver(lambda: on_end("DataDownloadError"), "DataDownloadError", E, None,
                            path)

    guard = GLib.timeout_add_seconds(60, on_timeout)
    k.StartLog(timeout=LONG)
    loop.run()
    GLib.source_remove(guard)
    if len(readings) < 3:
        return 1

    guard = GLib.timeout_add_seconds(60, on_timeout)
    k.StartLogDownload(timeout=LONG)
    loop.run()
    GLib.source_remove(guard)
    if ends[-1:] != ["DataDownloadComplete"]:
        return 1
    k.StartIntegrate(timeout=LONG)
    GLib.timeout_add(1500, loop.quit)
    loop.run()
    print("dose %g" % k.GetDose(timeout=LONG))
    k.Disconnect(False, timeout=LONG)

    obj.Release(dbus_interface="Norvale.Automation.Object")
    print("released")
    try:
        get("Port")
        print("the released object still answers")
        return 1
    except dbus.DBusException as exc:
        print("after Release:", exc.get_dbus_name())
    return 0


if __name__ == "__main__":
    sys.exit(main())
