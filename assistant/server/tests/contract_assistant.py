#!/usr/bin/python3
"""The Assistant server through its bus contract only, as a spreadsheet host
drives it: the kest721xl and kest720 programs started by a private bus, the
simulated meter sim721 on a pseudo-terminal, a settings store of the test's own.

Environment: SIM721 and NORVALE_REG name the programs; the bus must activate
the build tree's servers (XDG_DATA_DIRS).
"""
import datetime
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
from dbus.mainloop.glib import DBusGMainLoop

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bustest import drain, error_parts, has_owner, pid_of, spin  # noqa: E402

NAME = "kest721xl.kest721Assistant"
I = "kest721xl._kest721Assistant"
E = "kest721xl.__kest721Assistant"
K = "Norvale720._kest720"
KE = "Norvale720.__kest720"
PROMPTS = "Norvale.Automation.Prompts"
DISPLAY = "Kest720UI._Display"
P = "org.freedesktop.DBus.Properties"
FACTORY = "Norvale.Automation.ClassFactory"
EVENTS = ["DataDownload", "DataDownLoadComplete", "DataDownloadError", "LiveData",
          "LiveDataError", "Connected", "Disconnected", "LogStarted", "LogStopped", "DoseRate"]
RED, YELLOW, BLACK = 0x0000FF, 0x00FFFF, 0x000000
DISCONNECT_TEXT = ("If any changes to the 721 settings have been applied and you wish to save "
                   "the changes to the 721 then press Yes. If changes do not need to be saved "
                   "then press No.  To cancel the disconnection press Cancel.")
SECTION = r"HKCU\Software\Norvale\721"

DBusGMainLoop(set_as_default=True)
BUS = dbus.SessionBus()
# A host started by a test (--host-run) shares the test's folders and bus setup.
WORK = os.environ.get("KEST721XL_TEST_WORK") or tempfile.mkdtemp(prefix="kest721xl-test-")
os.environ["KEST721XL_TEST_WORK"] = WORK
PORTS = os.path.join(WORK, "ports")
CONFIG = os.path.join(WORK, "config")
DATA = os.path.join(WORK, "data")
HELP_LOG = os.path.join(WORK, "help-opened")
HELP_VIEWER = os.path.join(WORK, "viewer")
os.environ["NORVALE_PORTS"] = PORTS
os.environ["XDG_CONFIG_HOME"] = CONFIG
os.environ["XDG_DATA_HOME"] = DATA


def activation_env(**values):
    BUS.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").UpdateActivationEnvironment(
        values, dbus_interface="org.freedesktop.DBus")


def set_up_bus():
    os.makedirs(PORTS)
    os.makedirs(CONFIG)
    with open(HELP_VIEWER, "w") as f:
        f.write("#!/bin/sh\necho \"$1\" > %s\n" % HELP_LOG)
    os.chmod(HELP_VIEWER, 0o755)
    activation_env(NORVALE_PORTS=PORTS, XDG_CONFIG_HOME=CONFIG, XDG_DATA_HOME=DATA,
                   QT_QPA_PLATFORM="offscreen", NORVALE_HELP_VIEWER=HELP_VIEWER)


def reg_write(name, kind, data):
    subprocess.run([os.environ["NORVALE_REG"], "write", SECTION, name, kind, "--", str(data)],
                   check=True, env=os.environ)


class Meter:
    """sim721 on port n."""

    def __init__(self, n, *args):
        self.proc = subprocess.Popen(
            [os.environ["SIM721"], "--port", str(n), "--ports-dir", PORTS, "--no-stdin",
             "--fast"] + list(args), stdout=subprocess.PIPE)
        self.proc.stdout.readline()
        self.proc.stdout.readline()

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(10)


class Host:
    """One Assistant, its events in order, and its message boxes answered by rule."""

    def __init__(self):
        self.path = BUS.get_object(NAME, "/").CreateInstance(dbus_interface=FACTORY)
        self.obj = BUS.get_object(NAME, self.path)
        self.events = []
        self.boxes = []
        self.answers = {}
        self.receivers = []
        for name in EVENTS:
            self.receivers.append(BUS.add_signal_receiver(
                lambda *a, n=name: self.events.append((n, a)), name, E, None, self.path))
        self.receivers.append(BUS.add_signal_receiver(self._shown, "Shown", PROMPTS, None,
                                                      "/prompts"))
        self.prompts = dbus.Interface(BUS.get_object(NAME, "/prompts"), PROMPTS)

    def _shown(self, box_id, title, text, buttons):
        self.boxes.append((str(title), str(text), [str(b) for b in buttons]))
        answer = self.answers.get(str(title))
        if answer is not None:
            self.prompts.Answer(box_id, answer, reply_handler=lambda: None,
                                error_handler=lambda e: None)

    def call(self, member, limit=90.0):
        """Calls a member without a time-out while the loop runs (it may open a box)."""
        result = {}
        getattr(self.obj, member)(dbus_interface=I, timeout=1e6,
                                  reply_handler=lambda *a: result.setdefault("ok", a),
                                  error_handler=lambda e: result.setdefault("error", e))
        assert spin(lambda: result, limit), member + " never returned"
        if "error" in result:
            raise result["error"]

    def get(self, name, iface=I, path=None):
        obj = self.obj if path is None else BUS.get_object(NAME, path)
        return obj.Get(iface, name, dbus_interface=P, timeout=120)

    def names(self):
        return [n for n, _ in self.events]

    def control(self):
        service, path = self.get("Control")
        return BUS.get_object(str(service), str(path))

    def release(self):
        for r in self.receivers:
            r.remove()
        self.obj.Release(dbus_interface="Norvale.Automation.Object")


class AssistantContract(unittest.TestCase):
    port = 1

    def setUp(self):
        # Each test starts with fresh servers that load the settings it wrote.
        self.assertTrue(spin(lambda: not has_owner(NAME) and not has_owner("Norvale720.kest720")))
        drain()
        AssistantContract.port += 1
        reg_write("ComPort", "REG_DWORD", self.port)
        reg_write("TimerInterval", "REG_DWORD", 1)
        reg_write("TimerLength", "REG_DWORD", 3)
        reg_write("AlarmPoint", "REG_SZ", "0")
        reg_write("AlarmEnabled", "REG_DWORD", 1)
        reg_write("UseAcknowledgeButton", "REG_DWORD", 1)
        self.meter = None
        self.host = None

    def tearDown(self):
        if self.host:
            try:
                self.host.release()
            except dbus.DBusException:
                pass
        if self.meter:
            self.meter.close()

    def connect(self, *meter_args):
        if self.meter is None:
            self.meter = Meter(self.port, "--interval-ms", "250", *meter_args)
        self.host = Host()
        self.host.answers["Disconnect"] = "No"
        self.host.call("Connect")
        self.assertEqual(self.host.names(), ["Disconnected", "Connected"])
        self.assertTrue(self.host.get("Initialized"))
        del self.host.events[:]
        return self.host

    def test_connect_and_the_disconnect_question(self):
        host = self.connect()
        self.assertEqual(host.boxes, [], "a first Connect asks nothing")
        kest = host.control()
        old = int(kest.Get(K, "SampleRate", dbus_interface=P))
        new = old % 10 + 1

        # Cancel keeps the connection and raises nothing.
        host.answers["Disconnect"] = "Cancel"
        host.call("Disconnect")
        self.assertEqual(host.boxes[-1], ("Disconnect", DISCONNECT_TEXT, ["Yes", "No", "Cancel"]))
        self.assertEqual(host.names(), [])
        self.assertTrue(host.get("Initialized"))

        # No discards a change made through Control; Yes keeps it in the meter.
        for answer, kept in (("No", old), ("Yes", new)):
            kest.Set(K, "SampleRate", dbus.Int16(new), dbus_interface=P, timeout=120)
            host.answers["Disconnect"] = answer
            del host.events[:]
            host.call("Connect")  # a connected meter gets the question first
            self.assertEqual(host.names(), ["Disconnected", "Connected"], answer)
            kest = host.control()
            self.assertEqual(int(kest.Get(K, "SampleRate", dbus_interface=P)), kept, answer)

        host.answers["Disconnect"] = "No"
        del host.events[:]
        host.call("Disconnect")
        self.assertEqual(host.names(), ["Disconnected"])
        self.assertFalse(host.get("Initialized"))

    def test_connect_failures_are_boxes_and_end_disconnected(self):
        for args, text in ((["--fault", "silent"], "Initialization failed!\r\n"),):
            self.meter = Meter(self.port, *args)
            host = self.host = Host()
            host.answers["721 Assistant"] = "OK"
            host.call("Connect")
            self.assertEqual(host.names(), ["Disconnected", "Disconnected"])
            title, shown, buttons = host.boxes[-1]
            self.assertEqual((title, buttons), ("721 Assistant", ["OK"]))
            self.assertTrue(shown.startswith(text) and len(shown) > len(text), shown)
            # A meter that does not answer: the instrument's text, then the port.
            self.assertRegex(shown, r"Unable to start command mode\. - port %d \(/dev/pts/\d+\)$"
                             % self.port)
            self.assertFalse(host.get("Initialized"))

            # Nothing behind the port at all: the same box, the instrument's own text.
            self.meter.close()
            self.meter = None
            del host.events[:]
            host.call("Connect")
            self.assertEqual(host.names(), ["Disconnected", "Disconnected"])
            self.assertTrue(host.boxes[-1][1].startswith(text), host.boxes[-1][1])

        # StartLog on a meter that is not connected: a box, no event.
        del host.events[:]
        host.call("StartLog")
        self.assertEqual(host.boxes[-1], ("721 Assistant", "The 721 Control has not been "
                                          "initialized.", ["OK"]))
        self.assertEqual(host.names(), [])
        # DownloadLog unconnected: the instrument's error reaches the host.
        with self.assertRaises(dbus.DBusException) as caught:
            host.call("DownloadLog")
        number, source, _ = error_parts(caught.exception)
        self.assertEqual(source, "721 Control")

    def test_a_logging_run_with_an_alarm_ends_by_its_length(self):
        reg_write("AlarmPoint", "REG_SZ", "0.001")  # background is far above it
        host = self.connect()
        display = host.path + "/Display"
        host.call("StartLog")
        self.assertEqual(host.names(), ["LogStarted"])
        self.assertTrue(spin(lambda: host.names().count("LiveData") >= 1))
        self.assertEqual(int(host.get("AlarmState", DISPLAY, display)), 2)  # UnackAlarm
        self.assertEqual(str(host.get("Units", DISPLAY, display)), "500 uR/h")
        self.assertEqual(int(host.get("ScaleNumber", DISPLAY, display)), 500)
        self.assertTrue(host.get("AcknowledgeEnabled", DISPLAY, display))
        raw = float(host.get("Value", DISPLAY, display))

        BUS.get_object(NAME, display).PressAcknowledge(dbus_interface=DISPLAY)
        with self.assertRaises(dbus.DBusException) as caught:
            BUS.get_object(NAME, display).PressAcknowledge(dbus_interface=DISPLAY)
        self.assertEqual(error_parts(caught.exception)[0], 5)

        self.assertTrue(spin(lambda: "LogStopped" in host.names()))
        spin(lambda: False, 1.5)  # readings the meter sends after the end change nothing
        names = host.names()
        self.assertEqual(names.count("LogStopped"), 1)
        self.assertEqual(names[-1], "LogStopped")
        self.assertFalse(host.get("Visible", DISPLAY, display))

        rows = [a for n, a in host.events if n == "LiveData"]
        self.assertGreaterEqual(len(rows), 2)
        colours = [int(a[1]) for a in rows]
        self.assertEqual(colours[0], RED)
        self.assertEqual(colours[-1], YELLOW)
        self.assertEqual(sorted(colours, key=[RED, YELLOW].index), colours)
        now = datetime.datetime.now()
        stamps = [float(a[2]) for a in rows]
        for value, stamp in zip([float(a[0]) for a in rows], stamps):
            self.assertAlmostEqual(value, 0.015, delta=0.0006)  # 15 uR/h as mR/h
            when = datetime.datetime(1899, 12, 30) + datetime.timedelta(days=stamp)
            self.assertLess(abs((when - now).total_seconds()), 10)
            # Stamped in whole seconds: a date number near 46000 days holds
            # its seconds to about a microsecond, far inside a millisecond.
            self.assertLess(abs(stamp * 86400 - round(stamp * 86400)), 1e-3, stamp)
        seconds = [round(s * 86400) for s in stamps]
        self.assertEqual(seconds, sorted(set(seconds)), "one row per second, none twice")
        self.assertAlmostEqual(raw / 1000, rows[0][0], delta=0.0006)

    def test_a_journal_that_cannot_be_written_is_told_once_and_the_run_goes_on(self):
        broken = os.path.join(WORK, "broken")
        os.makedirs(os.path.join(broken, "norvale", "journal.sqlite"), exist_ok=True)
        activation_env(XDG_DATA_HOME=broken)
        try:
            host = self.connect()
            host.answers["721 Assistant"] = "OK"
            host.call("StartLog")
            self.assertTrue(spin(lambda: "LogStopped" in host.names()))
        finally:
            activation_env(XDG_DATA_HOME=DATA)
        self.assertGreaterEqual(host.names().count("LiveData"), 2)
        told = [b for b in host.boxes if "journal" in b[1]]
        self.assertEqual(len(told), 1, host.boxes)
        self.assertEqual((told[0][0], told[0][2]), ("721 Assistant", ["OK"]))

    def test_stop_log_and_a_restart_during_a_run(self):
        reg_write("TimerLength", "REG_DWORD", 600)
        host = self.connect()
        host.call("StartLog")
        self.assertTrue(spin(lambda: host.names().count("LiveData") >= 1))
        host.call("StartLog")  # restarts: no LogStopped, LogStarted again
        self.assertTrue(spin(lambda: host.names().count("LiveData") >= 2))
        host.call("StopLog")
        spin(lambda: False, 1.5)
        names = host.names()
        self.assertEqual([n for n in names if n != "LiveData"],
                         ["LogStarted", "LogStarted", "LogStopped"])
        self.assertEqual(names[-1], "LogStopped")
        host.call("StopLog")  # harmless, and still reported
        self.assertEqual(host.names()[-1], "LogStopped")

    def test_a_download_is_relayed_in_order_converted(self):
        host = self.connect("--log-records", "6")
        kest = host.control()
        raw = []
        r = BUS.add_signal_receiver(lambda d, m: raw.append((float(d), m)), "DataDownload", KE,
                                    None, kest.object_path)
        host.call("DownloadLog")
        msgbox_seen = has_owner(NAME)
        self.assertTrue(spin(lambda: "DataDownLoadComplete" in host.names(), 120))
        r.remove()
        rows = [a for n, a in host.events if n == "DataDownload"]
        self.assertEqual(len(rows), 6)
        self.assertEqual(len(raw), 6)
        for (degrees, m), (raw_degrees, raw_m) in zip(rows, raw):
            self.assertAlmostEqual(float(degrees), raw_degrees, places=3)
            target = -3 if int(raw_m[1]) == 1 else -6
            expected = float(raw_m[0]) * 10 ** (int(raw_m[2]) - target)
            self.assertAlmostEqual(float(m[0]), expected, places=9)
            self.assertEqual((int(m[1]), int(m[2]), str(m[3])), (int(raw_m[1]), target,
                                                                str(raw_m[3])))
        self.assertEqual(host.names()[-1], "DataDownLoadComplete")
        self.assertTrue(msgbox_seen)

    def test_dialog_entry_points_and_help(self):
        host = Host()
        self.host = host
        # Each opens its dialog modeless and returns at once, also a second time.
        for member in ("ShowProperties", "ShowOptions", "ShowIntegrate", "ShowAbout") * 2:
            host.call(member)
        host.call("ShowHelp")
        self.assertTrue(spin(lambda: os.path.exists(HELP_LOG), 10))
        with open(HELP_LOG) as f:
            self.assertTrue(f.read().strip().endswith("/721Assistant.html"))

    def test_a_status_window_of_the_hosts_own(self):
        msg_name = "kest721xl.MsgBox"
        path = BUS.get_object(msg_name, "/").CreateInstance(dbus_interface=FACTORY)
        box = BUS.get_object(msg_name, path)
        mi = "kest721xl._MsgBox"

        def state():
            return tuple(box.Get(mi, n, dbus_interface=P) for n in ("Visible", "Caption", "Text"))

        self.assertFalse(state()[0])
        box.Message("Reading the meter...", {"Title": "My status"}, dbus_interface=mi)
        self.assertEqual(state(), (True, "My status", "Reading the meter..."))
        box.Hide(dbus_interface=mi)
        box.Message("Still reading...", {}, dbus_interface=mi)  # no Title: caption stays
        self.assertEqual(state(), (True, "My status", "Still reading..."))
        for bad in ({"Caption": "x"}, {"Title": dbus.Int32(3)}):
            with self.assertRaises(dbus.DBusException) as caught:
                box.Message("x", bad, dbus_interface=mi)
            self.assertEqual(error_parts(caught.exception)[0], 5, bad)
        box.Parent(0, dbus_interface=mi)
        box.Release(dbus_interface="Norvale.Automation.Object")
        self.assertTrue(spin(lambda: not has_owner(msg_name)))

    def test_the_instrument_server_killed_mid_run(self):
        reg_write("TimerLength", "REG_DWORD", 600)
        host = self.connect()
        host.call("StartLog")
        self.assertTrue(spin(lambda: host.names().count("LiveData") >= 1))
        os.kill(pid_of("Norvale720.kest720"), signal.SIGKILL)
        self.assertTrue(spin(lambda: "LogStopped" in host.names()))
        names = [n for n in host.names() if n != "LiveData"]
        self.assertEqual(names, ["LogStarted", "LiveDataError", "LogStopped"])
        self.assertFalse(host.get("Initialized"))
        del host.events[:]
        host.call("Connect")  # a new instrument object, on a new server
        self.assertEqual(host.names(), ["Disconnected", "Connected"])

    def test_a_host_that_leaves_mid_run_leaves_nothing_behind(self):
        reg_write("TimerLength", "REG_DWORD", 600)
        self.meter = Meter(self.port, "--interval-ms", "250")
        child = subprocess.Popen([sys.executable, __file__, "--host-run"], env=os.environ,
                                 stdout=subprocess.PIPE)
        self.assertEqual(child.stdout.readline().strip(), b"logging")
        child.kill()
        child.wait()
        # Its Assistant ends: the instrument object is released, so both servers go.
        self.assertTrue(spin(lambda: not has_owner(NAME) and not has_owner(
            "Norvale720.kest720")))
        # The same meter serves the next host.
        self.connect()


def host_run():
    host = Host()
    host.answers["Disconnect"] = "No"
    host.call("Connect")
    host.call("StartLog")
    spin(lambda: "LiveData" in host.names())
    print("logging", flush=True)
    spin(lambda: False, 600)


if __name__ == "__main__":
    if sys.argv[1:] == ["--host-run"]:
        host_run()
    else:
        set_up_bus()
        unittest.main(verbosity=2)
