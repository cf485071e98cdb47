#!/usr/bin/python3
"""kest721 against the real Assistant (kest721xl), the real instrument server
(kest720) and the simulated meter (sim721), on the session bus this runs on.

    XDG_DATA_DIRS=BUILD/share:/usr/share dbus-run-session -- \\
        test_kest721_cli.py --build-dir BUILD [unittest options]

The bus starts the servers from the build tree's .service files. While kest721
runs, this test listens to the Assistant's own signals on the bus, so every
row that kest721 writes is checked against the event it came from.
"""
import argparse
import csv
import datetime
import fcntl
import math
import os
import pty
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import dbus
import openpyxl
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUILD = None
KEY = "HKCU\\Software\\Norvale\\721"
EVENTS = "kest721xl.__kest721Assistant"
PROMPTS = "Norvale.Automation.Prompts"
RUN_LIMIT_S = 120  # a run that takes longer has hung

COLOR_NAMES = {0x000000: "black", 0x0000FF: "red", 0x00FFFF: "yellow", 0xFF0000: "blue",
               0x00FF00: "green"}


def color_name(ole):
    return COLOR_NAMES.get(ole & 0xFFFFFFFF, "0x%08X" % (ole & 0xFFFFFFFF))


def fill_of(ole):
    """The cell fill an OLE colour 0x00BBGGRR gives, as openpyxl reports it."""
    r, g, b = ole & 0xFF, (ole >> 8) & 0xFF, (ole >> 16) & 0xFF
    return "FF%02X%02X%02X" % (r, g, b)


def local_time(days):
    """The wall-clock time of a spreadsheet date number (days since 1899-12-30)."""
    return datetime.datetime(1899, 12, 30) + datetime.timedelta(seconds=round(days * 86400))


def to_second(when):
    """A date cell's time to the nearest second (the reader may add microseconds)."""
    return (when + datetime.timedelta(microseconds=500000)).replace(microsecond=0)


def same_in_a_sheet(a, b):
    """Equal to the 15 significant digits that a spreadsheet keeps of a number."""
    return math.isclose(a, b, rel_tol=1e-14, abs_tol=0.0)


def as_single(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def rows_on_disk(path):
    """Data rows in a CSV file so far (its header not counted)."""
    try:
        with open(path) as f:
            return max(0, len(f.read().splitlines()) - 1)
    except FileNotFoundError:
        return 0


def program(*parts):
    return os.path.join(BUILD, *parts)


def reg_write(name, kind, data):
    subprocess.run([program("platform", "registry", "norvale-reg"), "write", KEY, name, kind,
                    str(data)], check=True, stdout=subprocess.DEVNULL)


def reg_read(name):
    return subprocess.run([program("platform", "registry", "norvale-reg"), "read", KEY, name],
                          check=True, capture_output=True, text=True).stdout


class Meter:
    """sim721 on port `port` for as long as the with-block lasts."""

    def __init__(self, port, *options):
        self.args = [program("simulator", "sim721"), "--port", str(port), "--ports-dir",
                     os.environ["NORVALE_PORTS"], "--no-stdin", "--fast", *options]

    def __enter__(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, text=True)
        # The link is in place once the meter has printed both of its paths.
        self.slave = self.proc.stdout.readline().strip()
        self.link = self.proc.stdout.readline().strip()
        if not self.link:
            self.proc.kill()
            raise RuntimeError("sim721 did not start: %s" % self.args)
        # A meter started right after another on the same port: the link must
        # name this one's terminal before a host looks it up.
        deadline = time.monotonic() + 5
        while os.path.realpath(self.link) != os.path.realpath(self.slave):
            if time.monotonic() > deadline:
                self.proc.kill()
                raise RuntimeError("%s does not lead to %s" % (self.link, self.slave))
            time.sleep(0.02)
        return self

    def __exit__(self, *exc):
        """Also as the adapter pulled out: its pseudo-terminal closes."""
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()


class Events:
    """The Assistant's signals and its message boxes, as they reach any client."""

    def __init__(self, bus):
        self.bus = bus
        self.live = []
        self.log_stopped = 0
        self.live_errors = []  # the number of readings before each LiveDataError
        self.downloads = []
        self.download_complete = 0
        self.download_error = 0
        self.shown = []
        self.closed = []
        self.receivers = [
            bus.add_signal_receiver(lambda m, c, t: self.live.append(
                (float(m), int(c), float(t))), "LiveData", EVENTS),
            bus.add_signal_receiver(self._stopped, "LogStopped", EVENTS),
            bus.add_signal_receiver(lambda: self.live_errors.append(len(self.live)),
                                    "LiveDataError", EVENTS),
            bus.add_signal_receiver(lambda d, m: self.downloads.append(
                (float(d), float(m[0]), int(m[1]), int(m[2]), str(m[3]))), "DataDownload",
                EVENTS),
            bus.add_signal_receiver(self._complete, "DataDownLoadComplete", EVENTS),
            bus.add_signal_receiver(self._error, "DataDownloadError", EVENTS),
            bus.add_signal_receiver(lambda i, t, x, b: self.shown.append(
                (int(i), str(t), str(x), [str(s) for s in b])), "Shown", PROMPTS),
            bus.add_signal_receiver(lambda i, b: self.closed.append((int(i), str(b))), "Closed",
                                    PROMPTS),
        ]
        self.round_trip()

    def round_trip(self):
        """A call to the bus and its reply: the match rules are in place after
        it, and every signal the bus routed to us before it has arrived."""
        self.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").GetId(
            dbus_interface="org.freedesktop.DBus")
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)

    def _stopped(self):
        self.log_stopped += 1

    def _complete(self):
        self.download_complete += 1

    def _error(self):
        self.download_error += 1

    def answer_of(self, title):
        """The button that closed the box with this title (None if none did)."""
        ids = [i for i, t, _, _ in self.shown if t == title]
        answers = [b for i, b in self.closed if i in ids]
        return answers[-1] if answers else None

    def close(self):
        for r in self.receivers:
            r.remove()


class Kest721Test(unittest.TestCase):
    bus = None

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="kest721-test-")
        env = {"XDG_CONFIG_HOME": os.path.join(cls.tmp.name, "config"),
               "XDG_DATA_HOME": os.path.join(cls.tmp.name, "data"),
               "NORVALE_PORTS": os.path.join(cls.tmp.name, "ports"),
               "QT_QPA_PLATFORM": "offscreen"}
        for d in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "NORVALE_PORTS"):
            os.makedirs(env[d])
        os.environ.update(env)
        DBusGMainLoop(set_as_default=True)
        cls.bus = dbus.SessionBus()
        # The servers that the bus starts find the same settings and ports.
        cls.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").\
            UpdateActivationEnvironment(env, dbus_interface="org.freedesktop.DBus")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.events = Events(self.bus)
        self.dir = tempfile.mkdtemp(dir=self.tmp.name)
        reg_write("TimerInterval", "REG_DWORD", 1)
        reg_write("TimerLength", "REG_DWORD", 3)

    def tearDown(self):
        # Signals of this test still on their way must not reach the next one.
        self.events.round_trip()
        self.events.close()

    def path(self, name):
        return os.path.join(self.dir, name)

    def run_kest721(self, *args, when=None, then=None, terminal=False, typed=(), steps=(),
                    env=None):
        """Runs kest721 to its end while the bus's signals are collected.
        `when` is tested every 50 ms; the first time it holds, `then(process)` runs;
        `steps` are more such pairs, each tried once the one before it has run.
        With `terminal`, standard input and standard error are a terminal (its
        text so far in self.tty), and each line of `typed` is typed there when
        kest721 asks a question. `env` adds to the environment."""
        steps = [(when, then)] + list(steps) if when else list(steps)
        out_path, err_path = self.path("stdout"), self.path("stderr")
        master = None
        with open(out_path, "w") as out, open(err_path, "w") as err:
            stdin, stderr = subprocess.DEVNULL, err
            if terminal:
                master, slave = pty.openpty()
                fcntl.fcntl(master, fcntl.F_SETFL, os.O_NONBLOCK)
                stdin = stderr = slave
            proc = subprocess.Popen([program("host", "kest721", "kest721"), *args], stdout=out,
                                    stderr=stderr, stdin=stdin,
                                    env=dict(os.environ, **(env or {})))
            if terminal:
                os.close(slave)
            loop = GLib.MainLoop()
            state = {"fired": 0, "timed_out": False, "tty": b"", "typed": 0}
            self.tty = ""

            def poll():
                if master is not None:
                    try:
                        state["tty"] += os.read(master, 65536)
                    except OSError:
                        pass
                    self.tty = state["tty"].decode("utf-8", "replace")
                    asked = state["tty"].count(b"[c]ancel: ")
                    if asked > state["typed"] and state["typed"] < len(typed):
                        os.write(master, typed[state["typed"]].encode() + b"\n")
                        state["typed"] += 1
                if proc.poll() is not None:
                    loop.quit()
                    return False
                if state["fired"] < len(steps) and steps[state["fired"]][0]():
                    steps[state["fired"]][1](proc)
                    state["fired"] += 1
                return True

            def give_up():
                state["timed_out"] = True
                proc.kill()
                return False

            GLib.timeout_add(50, poll)
            guard = GLib.timeout_add_seconds(RUN_LIMIT_S, give_up)
            loop.run()
            GLib.source_remove(guard)
            proc.wait()
            # Signals already on their way are collected too.
            self.events.round_trip()
        if master is not None:
            os.close(master)
        self.assertFalse(state["timed_out"], "kest721 %s did not end" % " ".join(args))
        with open(out_path) as f:
            stdout = f.read()
        with open(err_path) as f:
            stderr = f.read()
        if terminal:
            stderr = state["tty"].decode("utf-8", "replace")
        return proc.returncode, stdout, stderr

    # ---- checks shared by the tests -------------------------------------------------

    def read_csv(self, name):
        with open(self.path(name), newline="") as f:
            return list(csv.reader(f))

    def check_live_csv(self, rows, unit):
        self.assertEqual(rows[0], ["time", "value", "unit", "alarm_color"])
        expected = [[local_time(t).isoformat(), unit, color_name(c)]
                    for _, c, t in self.events.live]
        self.assertEqual([[r[0], r[2], r[3]] for r in rows[1:]], expected)
        for row, (m, _, _) in zip(rows[1:], self.events.live):
            self.assertTrue(same_in_a_sheet(float(row[1]), m), (row[1], m))

    def check_live_xlsx(self, name, unit):
        book = openpyxl.load_workbook(self.path(name))
        sheet = book.active
        self.assertEqual(sheet.title, "Log")
        rows = list(sheet.iter_rows())
        self.assertEqual([c.value for c in rows[0]], ["time", "value", "unit", "alarm_color"])
        self.assertEqual(len(rows) - 1, len(self.events.live))
        for row, (m, c, t) in zip(rows[1:], self.events.live):
            when, value, unit_cell, color_cell = row
            self.assertTrue(when.is_date, when.number_format)
            self.assertEqual(to_second(when.value), local_time(t))
            self.assertTrue(same_in_a_sheet(value.value, m), (value.value, m))
            self.assertEqual(value.fill.fill_type, "solid")
            self.assertEqual(value.fill.fgColor.rgb, fill_of(c))
            self.assertEqual(unit_cell.value, unit)
            self.assertEqual(color_cell.value, color_name(c))

    # ---- the tests -------------------------------------------------------------------

    def test_log_writes_one_row_per_reading_to_csv_and_xlsx(self):
        # Colours of our own, so that names and fills are not the defaults.
        reg_write("AlarmPoint", "REG_SZ", "0")
        reg_write("ColorUnAckAlarm", "REG_DWORD", 0x00123456)
        reg_write("ColorAckAlarm", "REG_DWORD", 0x00654321)
        try:
            with Meter(11, "--interval-ms", "200"):
                rc, out, err = self.run_kest721("--port", "11", "log", "--csv",
                                                self.path("log.csv"), "--xlsx",
                                                self.path("log.xlsx"))
        finally:
            reg_write("ColorUnAckAlarm", "REG_DWORD", 0x0000FF)
            reg_write("ColorAckAlarm", "REG_DWORD", 0x00FFFF)
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, "")
        # A 3 s run sampled every second.
        self.assertGreaterEqual(len(self.events.live), 2)
        self.assertEqual(self.events.log_stopped, 1)
        colors = {c for _, c, _ in self.events.live}
        self.assertTrue(colors <= {0x00123456, 0x00654321}, colors)
        self.check_live_csv(self.read_csv("log.csv"), "mR/h")
        self.check_live_xlsx("log.xlsx", "mR/h")
        # Without --save and without a terminal, the meter keeps nothing.
        self.assertEqual(self.events.answer_of("Disconnect"), "No")

    def test_log_to_standard_output_in_sievert_units(self):
        reg_write("AlarmPoint", "REG_SZ", "1000")
        try:
            with Meter(12, "--units", "Sv", "--interval-ms", "200"):
                rc, out, err = self.run_kest721("--port", "12", "log", "--save", "yes")
        finally:
            reg_write("AlarmPoint", "REG_SZ", "0")
        self.assertEqual(rc, 0, err)
        self.check_live_csv(list(csv.reader(out.splitlines())), "uSv/h")
        # Below the alarm point every reading has the normal colour, black.
        self.assertEqual({color_name(c) for _, c, _ in self.events.live}, {"black"})
        self.assertEqual(self.events.answer_of("Disconnect"), "Yes")

    def test_download_writes_the_records_in_order(self):
        with Meter(13, "--log-records", "7"):
            rc, out, err = self.run_kest721("--port", "13", "download", "--csv",
                                            self.path("dl.csv"), "--xlsx", self.path("dl.xlsx"))
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.events.download_complete, 1)
        self.assertEqual(len(self.events.downloads), 7)
        units = {1: "mR/h", 2: "uSv/h"}
        rows = self.read_csv("dl.csv")
        self.assertEqual(rows[0], ["record", "degrees_c", "value", "unit"])
        self.assertEqual(len(rows) - 1, 7)
        for n, (row, (deg, value, unit, _, _)) in enumerate(zip(rows[1:], self.events.downloads)):
            self.assertEqual(int(row[0]), n + 1)
            self.assertEqual(as_single(float(row[1])), as_single(deg))
            self.assertTrue(same_in_a_sheet(float(row[2]), value), (row[2], value))
            self.assertEqual(row[3], units[unit])
        sheet = openpyxl.load_workbook(self.path("dl.xlsx")).active
        self.assertEqual(sheet.title, "Download")
        cells = list(sheet.iter_rows(values_only=True))
        self.assertEqual(list(cells[0]), ["record", "degrees_c", "value", "unit"])
        self.assertEqual(len(cells) - 1, 7)
        for n, (row, (deg, value, unit, _, _)) in enumerate(zip(cells[1:],
                                                                self.events.downloads)):
            self.assertEqual(row[0], n + 1)
            self.assertEqual(as_single(row[1]), as_single(deg))
            self.assertTrue(same_in_a_sheet(row[2], value), (row[2], value))
            self.assertEqual(row[3], units[unit])

    def test_a_download_cut_short_keeps_its_rows_and_fails(self):
        csv_path = self.path("lost.csv")
        meter = Meter(19, "--log-records", "400")
        with meter:
            # The meter unplugged in the middle of the log.
            rc, out, err = self.run_kest721("--port", "19", "download", "--csv", csv_path,
                                            when=lambda: rows_on_disk(csv_path) >= 3,
                                            then=lambda p: meter.proc.terminate())
        self.assertEqual(rc, 1, err)
        self.assertEqual(self.events.download_error, 1)
        self.assertEqual(self.events.download_complete, 0)
        n = len(self.events.downloads)
        self.assertTrue(3 <= n < 400, n)
        self.assertIn("error 1 (kest721): The log download failed after %d records." % n, err)
        rows = self.read_csv("lost.csv")
        self.assertEqual([int(r[0]) for r in rows[1:]], list(range(1, n + 1)))
        for row, (_, value, _, _, _) in zip(rows[1:], self.events.downloads):
            self.assertTrue(same_in_a_sheet(float(row[2]), value), (row[2], value))

    def test_ctrl_c_stops_the_run_and_keeps_every_row(self):
        reg_write("TimerLength", "REG_DWORD", 600)
        csv_path = self.path("cut.csv")

        with Meter(14, "--interval-ms", "200"):
            # Rows reach the file as they come: three are there mid-run.
            rc, out, err = self.run_kest721("--port", "14", "log", "--csv", csv_path, "--xlsx",
                                            self.path("cut.xlsx"),
                                            when=lambda: rows_on_disk(csv_path) >= 3,
                                            then=lambda p: p.send_signal(signal.SIGINT))
        self.assertEqual(rc, 128 + signal.SIGINT, err)
        self.assertEqual(self.events.log_stopped, 1)
        self.assertGreaterEqual(len(self.events.live), 3)
        self.check_live_csv(self.read_csv("cut.csv"), "mR/h")
        self.check_live_xlsx("cut.xlsx", "mR/h")

    def last_journal_run(self, kind):
        rc, out, err = self.run_kest721("journal", "list")
        self.assertEqual(rc, 0, err)
        # Quoted fields may hold line breaks.
        rows = list(csv.reader(out.splitlines(keepends=True)))
        self.assertEqual(rows[0], ["run", "kind", "started", "serial_number", "rows",
                                   "location", "note", "operator"])
        return [r for r in rows[1:] if r[1] == kind][-1]

    def test_the_journal_keeps_a_run_whose_host_was_killed(self):
        reg_write("TimerLength", "REG_DWORD", 600)
        reg_write("AlarmPoint", "REG_SZ", "0")
        csv_path = self.path("killed.csv")
        with Meter(15, "--interval-ms", "200", "--serial", "4321"):
            rc, _, _ = self.run_kest721("--port", "15", "log", "--csv", csv_path,
                                        when=lambda: rows_on_disk(csv_path) >= 3,
                                        then=lambda p: p.kill())
            self.assertEqual(rc, -signal.SIGKILL)
            # The host's Assistant ends with it, and its run with that.
            names = self.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
            for _ in range(600):
                if not names.NameHasOwner("kest721xl.kest721Assistant",
                                          dbus_interface="org.freedesktop.DBus"):
                    break
                time.sleep(0.05)
            self.events.round_trip()
        run = self.last_journal_run("log")
        self.assertEqual(run[3], "4321")
        self.assertEqual(int(run[4]), len(self.events.live))
        # Every reading that left the server is in the journal, as it was sent.
        rc, _, err = self.run_kest721("journal", "export", run[0], "--csv", self.path("j.csv"),
                                      "--xlsx", self.path("j.xlsx"))
        self.assertEqual(rc, 0, err)
        self.check_live_csv(self.read_csv("j.csv"), "mR/h")
        self.check_live_xlsx("j.xlsx", "mR/h")

        rc, _, err = self.run_kest721("journal", "export", "999999")
        self.assertEqual((rc, err.strip()), (1, "error 1 (kest721): The journal has no run "
                                                "999999."))

    def test_a_reader_that_goes_away_ends_the_run(self):
        reg_write("TimerLength", "REG_DWORD", 600)
        with Meter(20, "--interval-ms", "200"):
            proc = subprocess.Popen([program("host", "kest721", "kest721"), "--port", "20", "log",
                                     "--csv", "-", "--xlsx", self.path("kept.xlsx")],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    stdin=subprocess.DEVNULL, text=True)
            lines = [proc.stdout.readline() for _ in range(3)]
            proc.stdout.close()  # as `kest721 log | head -3` does
            try:
                err = proc.stderr.read()
                rc = proc.wait(RUN_LIMIT_S)
            finally:
                proc.stderr.close()
        self.assertEqual(lines[0], "time,value,unit,alarm_color\n")
        self.assertEqual(rc, 1, err)
        self.assertIn("kest721: standard output: ", err)
        # The workbook beside it is complete, with at least the rows read.
        rows = list(openpyxl.load_workbook(self.path("kept.xlsx")).active.iter_rows(
            values_only=True))
        self.assertGreaterEqual(len(rows) - 1, 2)
        self.assertEqual([to_second(r[0]).isoformat() for r in rows[1:3]],
                         [line.split(",")[0] for line in lines[1:3]])

    def test_progress_line_on_a_terminal(self):
        with Meter(15, "--interval-ms", "200"):
            rc, _, err = self.run_kest721("--port", "15", "log", "--csv", self.path("p.csv"),
                                          terminal=True)
        self.assertEqual(rc, 0, err)
        # Which port and device, while connecting and in a line that stays.
        self.assertRegex(err, r"Connecting to the 721 on port 15 \(/dev/pts/\d+\)\.\.\.")
        self.assertRegex(err, r"Connected to the 721 on port 15 \(/dev/pts/\d+\)\.\x1b\[K\r?\n")
        n = len(self.events.live)
        self.assertIn("%d reading%s, about" % (n, "" if n == 1 else "s"), err)
        self.assertIn(" s left", err)
        # The last minute's trend beside it, one block per reading.
        self.assertRegex(err, "s left  [\u2581-\u2588]{%d}" % min(n, 30))

    def test_the_disconnect_question_asked_on_the_terminal(self):
        with Meter(18):
            rc, out, err = self.run_kest721("--port", "18", "status", "--save", "ask",
                                            terminal=True, typed=["maybe", "y"])
        self.assertEqual(rc, 0, err)
        self.assertIn("Disconnect: If any changes to the 721 settings", err)
        # An answer that is none of the three is asked again.
        self.assertEqual(err.count("[c]ancel: "), 2)
        self.assertEqual(self.events.answer_of("Disconnect"), "Yes")

    def test_ctrl_c_on_a_terminal_keeps_nothing_in_the_meter_without_asking(self):
        # kest721 changes no setting of the meter: there is nothing to ask about.
        reg_write("TimerLength", "REG_DWORD", 600)
        with Meter(23, "--interval-ms", "200"):
            rc, out, err = self.run_kest721("--port", "23", "log", "--csv", self.path("c.csv"),
                                            terminal=True,
                                            when=lambda: len(self.events.live) >= 2,
                                            then=lambda p: p.send_signal(signal.SIGINT))
        self.assertEqual(rc, 128 + signal.SIGINT, err)
        self.assertNotIn("Keep the setting changes", err)
        self.assertEqual(self.events.answer_of("Disconnect"), "No")

    def test_the_servers_keep_their_notes_out_of_the_terminal_unless_asked(self):
        for rules, chatty in ((None, False), ("norvale.*=true", True)):
            with self.subTest(rules=rules), Meter(24):
                env = dict(os.environ)
                env.pop("QT_LOGGING_RULES", None)
                env.pop("NORVALE_TRACE", None)
                if rules:
                    env["QT_LOGGING_RULES"] = rules
                # A bus of its own, whose servers write to this standard error,
                # as on a desktop where the session's terminal is the user's.
                proc = subprocess.run(["dbus-run-session", "--", program("host", "kest721", "kest721"),
                                       "--port", "24", "status"], env=env, capture_output=True,
                                      text=True, timeout=RUN_LIMIT_S)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                theirs = [l for l in proc.stderr.splitlines() if not l.startswith("dbus-daemon[")]
                self.assertEqual(bool(theirs), chatty, proc.stderr)

    def test_status_reports_the_meter_and_stores_the_port(self):
        with Meter(16, "--model", "M", "--units", "Sv", "--serial", "4321"):
            rc, out, err = self.run_kest721("--port", "16", "status")
        self.assertEqual(rc, 0, err)
        self.assertEqual(out.splitlines(), ["Connected: yes", "Serial number: 4321",
                                            "Model: 720M", "Units: sievert (uSv/h)",
                                            "Initialized: true",
                                            "Calibration: no due date recorded",
                                            "Publishing: off"])
        self.assertIn("16", reg_read("ComPort"))
        # Without --port the stored port is the one used.
        with Meter(16, "--serial", "1111"):
            rc, out, err = self.run_kest721("status")
        self.assertEqual(rc, 0, err)
        self.assertIn("Serial number: 1111", out)

    def test_hosts_started_together_on_two_ports_each_read_their_own_meter(self):
        # The server's Assistants share the port setting, which each host
        # stores just before its Assistant reads it: hosts take turns.
        serial = {17: "1717", 18: "1818"}
        with Meter(17, "--serial", serial[17]), Meter(18, "--serial", serial[18]):
            for _ in range(3):
                procs = {port: subprocess.Popen(
                    [program("host", "kest721", "kest721"), "--port", str(port), "status"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                    for port in serial}
                for port, proc in procs.items():
                    out, err = proc.communicate(timeout=RUN_LIMIT_S)
                    self.assertEqual(proc.returncode, 0, (port, err))
                    self.assertIn("Serial number: %s\n" % serial[port], out)

    def test_the_first_use_on_an_account_stores_the_port(self):
        # No folder for the settings store yet; no session bus either, so the
        # host goes as far as storing its settings and then says why it stops.
        fresh = self.path("fresh-account")
        rc, out, err = self.run_kest721(
            "--port", "5", "status",
            env={"XDG_CONFIG_HOME": fresh, "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + fresh})
        self.assertNotEqual(rc, 0)
        self.assertIn("error 462 (D-Bus)", err)
        stored = subprocess.run([program("platform", "registry", "norvale-reg"), "read", KEY,
                                 "ComPort"], capture_output=True, text=True, check=True,
                                env=dict(os.environ, XDG_CONFIG_HOME=fresh)).stdout
        self.assertIn("5", stored)

    def test_a_second_run_in_the_server_is_refused_and_the_first_loses_nothing(self):
        # The server has one sampling clock: a second host's run must not take
        # it from the first, whose readings would stop without a word. Nor may
        # the second host's run settings reach the first run. The first run
        # lasts until it is stopped, so that it is still going however slowly
        # the second host starts.
        reg_write("TimerLength", "REG_DWORD", 600)
        second = {}
        first_csv = self.path("first.csv")

        def start_second(_):
            second["run"] = subprocess.run(
                [program("host", "kest721", "kest721"), "--port", "20", "log", "--save", "no",
                 "--interval", "3", "--length", "4s"],
                capture_output=True, text=True, timeout=RUN_LIMIT_S)
            second["rows"] = rows_on_disk(first_csv)

        with Meter(19, "--serial", "1919"), Meter(20, "--serial", "2020"):
            rc, out, err = self.run_kest721(
                "--port", "19", "log", "--csv", first_csv,
                when=lambda: rows_on_disk(first_csv) >= 2, then=start_second,
                steps=[(lambda: rows_on_disk(first_csv) >= second["rows"] + 2,
                        lambda p: p.send_signal(signal.SIGINT))])
        self.assertEqual(rc, 128 + signal.SIGINT, err)
        self.assertNotEqual(second["run"].returncode, 0)
        self.assertIn("Another logging run is going on in this server (meter 1919)",
                      second["run"].stderr)
        # Every second of the first run, before and after the refusal.
        times = [datetime.datetime.fromisoformat(r[0]) for r in self.read_csv("first.csv")[1:]]
        self.assertGreaterEqual(len(times), second["rows"] + 2, times)
        self.assertEqual([(b - a).total_seconds() for a, b in zip(times, times[1:])],
                         [1.0] * (len(times) - 1))

    def test_an_overdue_calibration_warns_and_the_meter_still_works(self):
        rc, out, err = self.run_kest721("calibration", "2468", "--due", "2020-01-31",
                                        "--certificate", "CAL 12, \"annual\"")
        self.assertEqual((rc, out), (0, 'Calibration of 2468: due 2020-01-31 (certificate CAL '
                                        '12, "annual"), OVERDUE\n'), err)
        self.assertIn("2020-01-31", subprocess.run(
            [program("platform", "registry", "norvale-reg"), "read", KEY + "\\Calibration\\2468",
             "Due"], check=True, capture_output=True, text=True).stdout)
        with Meter(30, "--serial", "2468", "--interval-ms", "200"):
            rc, out, err = self.run_kest721("--port", "30", "status")
            self.assertEqual(rc, 0, err)
            self.assertIn('Calibration: due 2020-01-31 (certificate CAL 12, "annual"), OVERDUE',
                          out)
            self.assertIn("was due for calibration on 2020-01-31", err)
            # A run goes ahead all the same, with the warning and no box.
            rc, out, err = self.run_kest721("--port", "30", "log", "--csv", self.path("c.csv"))
        self.assertEqual(rc, 0, err)
        self.assertIn("was due for calibration on 2020-01-31", err)
        self.assertGreaterEqual(len(self.events.live), 2)
        self.assertEqual([t for _, t, _, _ in self.events.shown], ["Disconnect"] * 2)

    def pdf_text(self, path):
        return subprocess.run(["pdftotext", path, "-"], check=True, capture_output=True,
                              text=True).stdout

    def test_run_times_and_details_from_the_command_line_reach_the_report(self):
        location = 'Lab "S\u00fcd", bench 3\nRoom 12'
        note = "\u0417\u043e\u043d\u0430 \u03b1, after the source change"
        reg_write("TimerLength", "REG_DWORD", 600)
        with Meter(31, "--interval-ms", "200", "--serial", "5150"):
            rc, out, err = self.run_kest721(
                "--port", "31", "log", "--interval", "1", "--length", "2s", "--location",
                location, "--note", note, "--operator", "J. Smith", "--csv", self.path("o.csv"),
                "--report", self.path("o.pdf"))
        self.assertEqual(rc, 0, err)
        # Stored where the Logging Properties dialog keeps them.
        self.assertIn("2", reg_read("TimerLength").split()[-1])
        self.assertIn("1", reg_read("TimerInterval").split()[-1])
        self.assertIn("the report of run", err)
        text = self.pdf_text(self.path("o.pdf"))
        for expected in ('Lab "S\u00fcd", bench 3', "Room 12", note, "J. Smith",
                         "serial number 5150", "Readings\n\n%d" % len(self.events.live)):
            self.assertIn(expected, text)
        self.assertNotIn("SO FAR", text)
        # The journal's CSV keeps the texts as they were given.
        run = self.last_journal_run("log")
        self.assertEqual((run[3], run[5:]), ("5150", [location, note, "J. Smith"]))
        # And so does the workbook of the run, in its sheet of details.
        rc, _, err = self.run_kest721("journal", "export", run[0], "--xlsx", self.path("o.xlsx"))
        self.assertEqual(rc, 0, err)
        book = openpyxl.load_workbook(self.path("o.xlsx"))
        self.assertEqual(book.sheetnames, ["Log", "Run"])
        details = {r[0].value: r[1].value for r in book["Run"].iter_rows()}
        self.assertEqual((details["Location"], details["Note"], details["Operator"]),
                         (location, note, "J. Smith"))

    def test_ctrl_c_ends_a_run_until_stopped_and_writes_its_report(self):
        csv_path = self.path("u.csv")
        with Meter(32, "--interval-ms", "200"):
            rc, out, err = self.run_kest721("--port", "32", "log", "--length", "until-stopped",
                                            "--csv", csv_path, "--report", self.path("u.pdf"),
                                            when=lambda: rows_on_disk(csv_path) >= 3,
                                            then=lambda p: p.send_signal(signal.SIGINT))
        self.assertEqual(rc, 128 + signal.SIGINT, err)
        text = self.pdf_text(self.path("u.pdf"))
        self.assertIn("until stopped", text)
        self.assertIn("Readings\n\n%d" % len(self.events.live), text)

    def test_a_meter_that_does_not_answer_is_an_error(self):
        # The link of an adapter that is not plugged in.
        link = os.path.join(os.environ["NORVALE_PORTS"], "com17")
        os.symlink(self.path("unplugged-adapter"), link)
        self.addCleanup(os.remove, link)
        rc, out, err = self.run_kest721("--port", "17", "log", "--csv", self.path("none.csv"))
        self.assertEqual(rc, 1)
        # The seed's text, then the port, its device and the system's reason.
        self.assertRegex(err, r"error \(721 Assistant\): Initialization failed! Operation valid "
                         r"only when the port is open: port 17 \(.*/com17 -> .*/unplugged-adapter\)"
                         r": No such file or directory")
        self.assertEqual(self.events.answer_of("721 Assistant"), "OK")
        self.assertEqual(self.events.live, [])
        self.assertEqual(self.read_csv("none.csv"), [["time", "value", "unit", "alarm_color"]])

        # A port number stored by mistake shows in every later error.
        rc, out, err = self.run_kest721("status")
        self.assertEqual(rc, 1)
        self.assertEqual(out, "Connected: no\n")
        self.assertIn("Initialization failed!", err)
        self.assertIn("port 17 (%s -> " % link, err)

    def log_runs(self):
        rc, out, err = self.run_kest721("journal", "list")
        self.assertEqual(rc, 0, err)
        return [r for r in list(csv.reader(out.splitlines(keepends=True)))[1:] if r[1] == "log"]

    def test_reconnect_goes_on_with_the_same_files_and_journal_run(self):
        reg_write("TimerLength", "REG_DWORD", 600)
        runs_before = len(self.log_runs())
        csv_path = self.path("re.csv")
        first = Meter(21, "--interval-ms", "200")
        second = Meter(21, "--interval-ms", "200")
        at_replug = []

        def replug(_):
            at_replug.append(len(self.events.live))
            second.__enter__()

        with first:
            rc, _, err = self.run_kest721(
                "--port", "21", "log", "--reconnect", "--reconnect-every", "1", "--save", "no",
                "--csv", csv_path, "--xlsx", self.path("re.xlsx"), terminal=True,
                steps=[
                    # The adapter pulled out after three rows...
                    (lambda: rows_on_disk(csv_path) >= 3, lambda _: first.__exit__()),
                    # ...plugged in again once a try has failed with nothing on the port...
                    (lambda: re.search(r"1 attempt, next in \d+ s \(", self.tty), replug),
                    # ...and Ctrl-C once three more rows have come.
                    (lambda: at_replug and rows_on_disk(csv_path) >= at_replug[0] + 3,
                     lambda p: p.send_signal(signal.SIGINT))])
        second.__exit__()
        self.assertEqual(rc, 128 + signal.SIGINT, err)
        self.assertIn("connection lost at ", err)
        self.assertIn("connection back at ", err)
        # One loss; nothing sampled while the link was down; both halves in one run.
        self.assertEqual(len(self.events.live_errors), 1)
        self.assertEqual(at_replug, self.events.live_errors)
        self.assertGreaterEqual(len(self.events.live), at_replug[0] + 3)
        stamps = [t for _, _, t in self.events.live]
        self.assertEqual(stamps, sorted(set(stamps)))
        self.assertEqual(self.events.log_stopped, 1)
        self.assertEqual({t for _, t, _, _ in self.events.shown}, {"Disconnect"})
        self.check_live_csv(self.read_csv("re.csv"), "mR/h")
        self.check_live_xlsx("re.xlsx", "mR/h")
        runs = self.log_runs()
        self.assertEqual(len(runs), runs_before + 1)
        self.assertEqual(int(runs[-1][4]), len(self.events.live))
        rc, _, err = self.run_kest721("journal", "export", runs[-1][0], "--csv",
                                      self.path("j.csv"))
        self.assertEqual(rc, 0, err)
        self.check_live_csv(self.read_csv("j.csv"), "mR/h")
        # Its record shows the gap, from the loss to the return.
        rc, out, err = self.run_kest721("report", runs[-1][0])
        self.assertEqual(rc, 0, err)
        self.assertIn("Link lost: 1 time", out)
        self.assertRegex(out, r"Link to the meter lost:\n  1\. lost at \S+ \S+ [+-]\d\d:\d\d, "
                              r"back at \d\d:\d\d:\d\d, gap \d+ s\n")

    def test_a_lost_link_ends_the_run_with_every_row_kept(self):
        reg_write("TimerLength", "REG_DWORD", 600)
        cases = [
            # legend, port, options, what happens after the loss, exit status, message
            ("without --reconnect", 22, [], None, 1,
             "error 1 (kest721): The connection to the 721 was lost after %d readings"),
            # A port of its own: no link or terminal left from the case before.
            ("Ctrl-C while reconnecting", 25, ["--reconnect"], signal.SIGINT,
             128 + signal.SIGINT, "connection lost at "),
        ]
        for legend, port, options, then, status, message in cases:
            with self.subTest(legend):
                self.events.live.clear()
                self.events.live_errors.clear()
                self.events.log_stopped = 0
                csv_path = self.path("lost.csv")
                meter = Meter(port, "--interval-ms", "200")
                steps = [(lambda: rows_on_disk(csv_path) >= 3, lambda _: meter.__exit__())]
                if then:
                    steps.append((lambda: self.events.live_errors,
                                  lambda p: p.send_signal(then)))
                with meter:
                    rc, _, err = self.run_kest721("--port", str(port), "log", *options, "--csv",
                                                  csv_path, "--xlsx", self.path("lost.xlsx"),
                                                  steps=steps)
                self.assertEqual(rc, status, err)
                n = len(self.events.live)
                self.assertIn(message % n if "%d" in message else message, err)
                self.assertEqual(self.events.live_errors, [n])
                self.assertEqual(self.events.log_stopped, 1)
                self.check_live_csv(self.read_csv("lost.csv"), "mR/h")
                self.check_live_xlsx("lost.xlsx", "mR/h")

    def test_ports_lists_devices_and_links_and_prints_a_rule(self):
        by_id, ports = self.path("by-id"), self.path("ports")
        os.makedirs(by_id)
        os.makedirs(ports)
        ttys = []
        for _ in range(2):
            master, slave = pty.openpty()
            ttys.append((master, slave, os.ttyname(slave)))
        ftdi, prolific = ("usb-FTDI_FT232R_USB_UART_A9XYZ12-if00-port0",
                          "usb-Prolific_Technology_Inc._USB-Serial_Controller_0042-if00")
        links = {os.path.join(by_id, ftdi): ttys[0][2], os.path.join(by_id, prolific): ttys[1][2],
                 os.path.join(ports, "com2"): os.path.join(by_id, prolific),
                 os.path.join(ports, "com10"): ttys[0][2],
                 os.path.join(ports, "com3"): "/dev/norvale-gone",
                 os.path.join(ports, "notes"): ttys[0][2]}
        for link, target in links.items():
            os.symlink(target, link)
        env = {"NORVALE_SERIAL_BY_ID": by_id, "NORVALE_PORTS": ports}
        stored_port = reg_read("ComPort")
        try:
            rc, out, err = self.run_kest721("ports", env=env)
            self.assertEqual(rc, 0, err)
            self.assertEqual(out.splitlines(), [
                "Serial devices (%s):" % by_id,
                "  %s -> %s" % (ftdi, ttys[0][2]),
                "  %s -> %s" % (prolific, ttys[1][2]),
                "Port links (%s):" % ports,
                "  com2 -> %s" % ttys[1][2],
                "  com3 -> /dev/norvale-gone (missing)",
                "  com10 -> %s" % ttys[0][2]])
            rule = ('SUBSYSTEM=="tty", ENV{ID_BUS}=="usb", ENV{ID_SERIAL_SHORT}=="%s", '
                    'ENV{NORVALE_721}="1", SYMLINK+="norvale/com%d"')
            cases = [
                # legend, device, port, exit status, standard output
                ("a by-id name", ftdi, 3, 0, rule % ("A9XYZ12", 3) + "\n"),
                ("a by-id path", os.path.join(by_id, prolific), 12, 0,
                 rule % ("0042", 12) + "\n"),
                ("no adapter's name", ttys[0][2], 1, 1, ""),
            ]
            for legend, device, port, status, expected in cases:
                with self.subTest(legend):
                    rc, out, err = self.run_kest721("ports", "--rule", device, "--port",
                                                    str(port), env=env)
                    self.assertEqual((rc, out), (status, expected), err)
            # A port number given to ports is not stored as the Assistant's.
            self.assertEqual(reg_read("ComPort"), stored_port)
        finally:
            for master, slave, _ in ttys:
                os.close(master)
                os.close(slave)

    def test_usage(self):
        rc, out, err = self.run_kest721("--help")
        self.assertEqual(rc, 0)
        self.assertIn("--port N", out)
        self.assertIn("stored setting", out)
        self.assertIn("norvale/journal.sqlite", out)
        rc, out, err = self.run_kest721("--version")
        self.assertEqual(rc, 0, err)
        self.assertRegex(out, r"^kest721 \d+\.\d+\.\d+\n$")
        for args in (["log", "--port", "x"], ["frobnicate"], [], ["log", "--save", "maybe"],
                     ["status", "--csv", "f.csv"], ["log", "extra"], ["--bogus", "log"],
                     ["download", "--reconnect"], ["log", "--reconnect-every", "5"],
                     ["log", "--reconnect", "--reconnect-every", "0"], ["ports", "--port", "3"],
                     ["ports", "--rule", "x"], ["log", "--rule", "x"]):
            rc, out, err = self.run_kest721(*args)
            self.assertEqual(rc, 2, args)
            self.assertEqual(out, "")
            self.assertEqual(len(err.splitlines()), 2, err)
            self.assertIn("Try 'kest721 --help'", err)


def main():
    global BUILD
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
