#!/usr/bin/python3
"""The command-line tools as a user meets them: the real programs, the
simulated meter and a session bus of their own, checked by exit code and by
the first line of what they say.

    test_kest720_cli.py KEST720_CLI SIM721 BENCH721 CMAKE BUILD_DIR

Starts a private session bus (dbus-run-session) that activates the built
server, with a ports folder of its own, and runs the cases inside it.
"""
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

CLI, SIM, BENCH, CMAKE, BUILD = sys.argv[1:6] if len(sys.argv) >= 6 else [None] * 5
SERVICE = "Norvale720.kest720"


def run(args, timeout=120, env=None):
    p = subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=env)
    return p.returncode, p.stdout, p.stderr


def cli(*args, timeout=120):
    return run([CLI] + [str(a) for a in args], timeout=timeout)


def first_line(text):
    return text.splitlines()[0] if text.strip() else ""


def server_running():
    code, out, _ = run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                        "string:" + SERVICE])
    return "boolean true" in out


def wait_for_server_to_end(limit=20.0):
    end = time.monotonic() + limit
    while server_running() and time.monotonic() < end:
        time.sleep(0.1)


class Sim:
    """sim721 on com<port> of the test's ports folder; ends when its input closes."""

    def __init__(self, *args, port=None):
        where = [] if port is None else ["--port", str(port)]
        self.proc = subprocess.Popen(
            [SIM, "--fast"] + where + [str(a) for a in args],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.slave = self.proc.stdout.readline().strip()
        self.link = self.proc.stdout.readline().strip()
        if not self.link:
            raise RuntimeError("sim721 did not start: " + self.proc.stderr.read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(10)
        self.proc.stdout.close()
        self.proc.stderr.close()


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.sims = []

    def tearDown(self):
        for s in self.sims:
            s.stop()
        # The next case starts from no server at all, as a new user would.
        wait_for_server_to_end()

    def sim(self, *args, port=1):
        s = Sim(*args, port=port)
        self.sims.append(s)
        return s


class UsageErrors(ToolTest):
    def test_each_usage_error_is_one_line_exit_2_and_wakes_no_meter(self):
        cases = [
            # (arguments, start of the first line)
            ([], "kest720-cli: no command given"),
            (["info"], "kest720-cli: --port N is required"),
            (["--port", "0", "info"], "kest720-cli: --port must be a whole number from 1"),
            (["--port"], "kest720-cli: --port needs a number"),
            (["--bogus", "--port", "1", "info"], "kest720-cli: unknown option '--bogus'"),
            (["--port", "1", "explode"], "kest720-cli: unknown command 'explode'"),
            (["--port", "1", "stream"], "kest720-cli: stream needs SECONDS"),
            (["--port", "1", "info", "extra"], "kest720-cli: info takes no arguments, not 'extra'"),
            (["--port", "1", "stream", "5", "6"], "kest720-cli: stream takes SECONDS, not '6'"),
            (["--port", "1", "stream", "ten"], "kest720-cli: SECONDS must be a whole number from 1"),
            (["--port", "1", "stream", "31536001"], "kest720-cli: SECONDS must be a whole number "
             "from 1 to 31536000, not '31536001'"),
            (["--port", "1", "stream", "99999999999999999999"], "kest720-cli: SECONDS must be"),
            (["--port", "1", "dose", "0"], "kest720-cli: SECONDS must be"),
            (["--port", "1", "set", "AlarmRange"], "kest720-cli: set needs NAME and VALUE"),
            (["--port", "1", "set", "Colour", "red"], "kest720-cli: unknown setting 'Colour'"),
            (["--port", "1", "set", "Units", "Gy"], "kest720-cli: Units must be R or Sv, not 'Gy'"),
            (["--port", "1", "set", "AlarmPercent", "100"],
             "kest720-cli: AlarmPercent must be 0 to 99, not '100'"),
            (["--port", "1", "set", "AlarmRange", "9"], "kest720-cli: AlarmRange must be 1 to 6"),
            (["--port", "1", "set", "ModeButton", "3"],
             "kest720-cli: ModeButton must be disabled, integrate or freeze"),
            (["--port", "1", "set", "ClearLogSetting", "never"],
             "kest720-cli: ClearLogSetting must be turn-on or integrate-reset"),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                code, out, err = cli(*args, timeout=10)
                self.assertEqual(code, 2, err)
                self.assertTrue(first_line(err).startswith(expected), err)
                self.assertEqual(err.splitlines()[1:], ["Try 'kest720-cli --help'."])
                self.assertEqual(out, "")
        # Refused before anything was asked of the bus: no server was started.
        self.assertFalse(server_running())

    def test_help_says_what_port_is_and_exits_0(self):
        code, out, _ = cli("--help")
        self.assertEqual(code, 0)
        self.assertRegex(out, r"--port N +the meter's serial port number \(required\)")
        self.assertIn("ClearLogSetting  turn-on or integrate-reset", out)


class OtherTools(ToolTest):
    def test_bench_and_simulator_refuse_bad_numbers_at_once(self):
        cases = [
            ([BENCH, "stream", "--seconds", "-3"], "bench721: --seconds must be a whole number"),
            ([BENCH, "stream", "--seconds", "2147484"], "bench721: --seconds must be"),
            ([BENCH, "download", "--records", "0"], "bench721: --records must be"),
            ([BENCH, "initialize", "--runs", "x"], "bench721: --runs must be"),
            ([BENCH, "explode"], "bench721: unknown command 'explode'"),
            ([BENCH], "bench721: no command given"),
            ([SIM, "--serial", "12"], "sim721: --serial must be four digits, not '12'"),
            ([SIM, "--fault", "smoke"], "sim721: unknown fault 'smoke'"),
        ]
        for args, expected in cases:
            with self.subTest(args=args[1:]):
                code, out, err = run(args, timeout=10)
                self.assertEqual(code, 2, err)
                self.assertTrue(first_line(err).startswith(expected), err)

    def test_a_second_simulator_leaves_the_first_ones_link_alone(self):
        first = self.sim(port=3)
        # Asked for the same port: refused, naming the holder.
        code, _, err = run([SIM, "--fast", "--port", "3", "--no-stdin"], timeout=10)
        self.assertEqual(code, 1)
        self.assertRegex(first_line(err), r"^sim721: com3 is already linked to %s by process %d "
                         % (re.escape(first.slave), first.proc.pid))
        self.assertEqual(os.readlink(first.link), first.slave)
        # No port asked for while com1 is taken: the next free number, said so.
        holder = self.sim(port=1)
        second = Sim(port=None)
        try:
            self.assertTrue(second.link.endswith("/com2"), second.link)
            self.assertIn("using com2", second.proc.stderr.readline())
        finally:
            second.stop()
        self.assertEqual(os.readlink(holder.link), holder.slave)
        self.assertFalse(os.path.lexists(second.link))


class Jobs(ToolTest):
    def test_info_names_units_and_the_alarm_off_entry(self):
        self.sim()
        code, out, err = cli("--port", 1, "info")
        self.assertEqual(code, 0, err)
        lines = out.splitlines()
        self.assertIn("Data-log interval (sample rate): 60 s", lines)
        self.assertIn("Clear log: turn-on", lines)
        self.assertIn("Mode button: integrate", lines)
        self.assertIn("  6: No Blink (command 6)", lines)
        self.assertIn("  1: 500 uR/h (command 1, full scale 500 uR/h)", lines)

    def test_stream_gives_a_reading_a_second_counted_from_the_first(self):
        self.sim()  # one reading a second, the first about two seconds after the start
        for seconds in (1, 3):
            with self.subTest(seconds=seconds):
                code, out, err = cli("--port", 1, "stream", seconds)
                self.assertEqual(code, 0, err)
                rows = out.splitlines()
                self.assertEqual(rows[0], "seconds,value,unit,prefix,unit_string")
                self.assertEqual(len(rows) - 1, seconds, out)
                self.assertTrue(rows[1].startswith("0.000,"), out)
                wait_for_server_to_end()

    def test_dose_prints_a_header_and_the_seconds_it_integrated(self):
        self.sim("--dose-rate", "360000")  # 0.1 mR a second
        code, out, err = cli("--port", 1, "dose", 2)
        self.assertEqual(code, 0, err)
        header, row = out.splitlines()
        self.assertEqual(header, "seconds,dose,unit")
        seconds, dose, unit = row.split(",")
        self.assertEqual((seconds, unit), ("2", "mR"))
        self.assertGreater(float(dose), 0.0)

    def test_download_shows_progress_on_a_terminal_only(self):
        self.sim("--log-records", 20)
        master, slave = pty.openpty()
        proc = subprocess.Popen([CLI, "--port", "1", "download"], stdout=subprocess.PIPE,
                                stderr=slave, text=True)
        os.close(slave)
        out, _ = proc.communicate(timeout=120)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal's other side has closed
                break
            if not chunk:
                break
            shown += chunk
        os.close(master)
        self.assertEqual(proc.returncode, 0, shown)
        self.assertEqual(len(out.splitlines()), 21)
        self.assertRegex(shown.decode().splitlines()[-1],
                         r"^20 records, \d+ s, about \d+ chars/s of the line's 120")
        wait_for_server_to_end()
        code, out, err = cli("--port", 1, "download")
        self.assertEqual((code, err), (0, ""))

    def test_set_takes_the_words_that_info_prints(self):
        self.sim(port=1)
        for name, value in (("Units", "Sv"), ("ModeButton", "freeze"),
                            ("ClearLogSetting", "integrate-reset"), ("AlarmPercent", "42")):
            with self.subTest(name=name):
                code, out, err = cli("--port", 1, "set", name, value)
                self.assertEqual(code, 0, err)
                self.assertEqual(out, "%s set to %s\n" % (name, value))
                wait_for_server_to_end()
        code, out, err = cli("--port", 1, "info")
        self.assertEqual(code, 0, err)
        for line in ("Units: Sv (sievert)", "Mode button: freeze",
                     "Clear log: integrate-reset"):
            self.assertIn(line, out.splitlines())
        self.assertIn("Blink alarm: 42% of range", out)


class Interrupts(ToolTest):
    def test_an_interrupted_download_keeps_its_rows_and_the_meter_answers_at_once(self):
        self.sim("--log-records", 300)
        proc = subprocess.Popen([CLI, "--port", "1", "download"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        # Rows come through the pipe one by one, while the download runs.
        seen = [proc.stdout.readline() for _ in range(11)]
        self.assertEqual(seen[0], "record,degrees_c,value,unit,prefix,unit_string\n")
        self.assertIsNone(proc.poll())
        proc.send_signal(signal.SIGINT)
        rest, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 130, err)
        rows = (seen + rest.splitlines(keepends=True))[1:]
        self.assertGreaterEqual(len(rows), 10)
        self.assertLess(len(rows), 300)
        self.assertEqual([int(r.split(",")[0]) for r in rows], list(range(1, len(rows) + 1)))
        code, out, err = cli("--port", 1, "info")
        self.assertEqual((code, err), (0, ""))
        self.assertTrue(out.startswith("Model: 720K\n"))

    def test_long_runs_run_until_interrupted_and_report_what_they_got(self):
        self.sim("--dose-rate", "360000")
        # In milliseconds, 4294968 s overflows 32 bits and 2147484 s turns negative.
        for command, seconds, header in (("dose", 4294968, "seconds,dose,unit"),
                                         ("stream", 2147484, "seconds,value,unit,prefix,"
                                                             "unit_string")):
            with self.subTest(command=command):
                proc = subprocess.Popen([CLI, "--port", "1", command, str(seconds)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                self.assertEqual(proc.stdout.readline(), header + "\n")
                if command == "stream":
                    self.assertRegex(proc.stdout.readline(), r"^0\.000,")
                time.sleep(2)
                self.assertIsNone(proc.poll(), proc.stderr.read() if proc.poll() else "")
                proc.send_signal(signal.SIGINT)
                rest, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 130, err)
                if command == "dose":
                    # The dose so far, over the time it ran.
                    ran, dose, unit = rest.strip().split(",")
                    self.assertGreater(float(ran), 0.0)  # its start-up comes after the header
                    self.assertEqual(unit, "mR")
                    self.assertGreater(float(dose), 0.0)
                wait_for_server_to_end()

    def test_a_command_right_after_an_interrupted_stream_works(self):
        self.sim()
        for how in (signal.SIGINT, signal.SIGKILL):
            with self.subTest(signal=how.name):
                proc = subprocess.Popen([CLI, "--port", "1", "stream", "60"],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                proc.stdout.readline()
                proc.stdout.readline()  # the first reading: the stream is running
                proc.send_signal(how)
                _, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 130 if how == signal.SIGINT else -9, err)
                # A client that was killed leaves its object to be ended by the
                # server; the next command waits for the port, then works.
                code, out, err = cli("--port", 1, "info")
                self.assertEqual(code, 0, err)
                self.assertTrue(out.startswith("Model: 720K\n"))
                wait_for_server_to_end()


class PortFaults(ToolTest):
    def test_the_port_s_own_fault_is_named_first(self):
        ports = os.environ["NORVALE_PORTS"]
        regular = os.path.join(ports, "not-a-device")
        open(regular, "w").close()
        os.symlink("/dev/null", os.path.join(ports, "com12"))
        os.symlink(os.path.join(ports, "gone"), os.path.join(ports, "com13"))
        os.symlink(regular, os.path.join(ports, "com14"))
        cases = [
            (60, r"port 60 \(/dev/ttyS59\): No such file or directory"),
            (12, r"port 12 \(.*/com12 -> /dev/null\): Inappropriate ioctl for device; "
                 r"/dev/null is not a serial device"),
            (13, r"port 13 \(.*/com13 -> .*/gone\): No such file or directory; the link names"),
            (14, r"port 14 \(.*/com14 -> .*/not-a-device\): Inappropriate ioctl for device"),
        ]
        for port, expected in cases:
            with self.subTest(port=port):
                code, out, err = cli("--port", port, "info")
                self.assertEqual(code, 1, err)
                # The server's error carries the port and the reason after the
                # text that callers match on, so the tool says it once.
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertRegex(err, r"^kest720-cli: serial port error 8018 \(721 Serial\): "
                                 r"Operation valid only when the port is open: " + expected)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                         "needs to run a user's session as another, unprivileged user")
    def test_a_port_the_user_may_not_open_names_the_group_to_join(self):
        with tempfile.TemporaryDirectory() as ports:
            os.chmod(ports, 0o755)
            meter = self.sim("--ports-dir", ports)
            shutil.chown(meter.slave, group="dialout")
            os.chmod(meter.slave, 0o660)
            env = dict(os.environ, NORVALE_PORTS=ports, HOME="/tmp",
                       XDG_CONFIG_HOME=os.path.join(ports, "config"))
            # The user "nobody", outside the group, on a session bus of its own.
            code, out, err = run(["setpriv", "--reuid=nobody", "--regid=nogroup",
                                  "--clear-groups", "dbus-run-session", "--", CLI, "--port", "1",
                                  "info"], env=env)
            self.assertEqual(code, 1, err)
            ours = [l for l in err.splitlines() if not l.startswith("dbus-daemon[")]
            self.assertRegex(ours[0], r"^kest720-cli: serial port error 8018 \(721 Serial\): "
                             r"Operation valid only when the port is open: port 1 \(.*/com1 -> %s\): Permission "
                             r"denied; %s belongs to the group 'dialout': join it "
                             r"\(sudo adduser \$USER dialout\)" % ((re.escape(meter.slave),) * 2))

    def test_a_second_client_on_a_busy_port_is_told_who_holds_it(self):
        self.sim()
        first = subprocess.Popen([CLI, "--port", "1", "stream", "30"], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            first.stdout.readline()
            first.stdout.readline()
            code, out, err = cli("--port", 1, "info")
            self.assertEqual(code, 1, err)
            self.assertRegex(first_line(err), r"^kest720-cli: port 1 \(.*/com1 -> /dev/pts/\d+\) "
                             r"is in use by another client \(process \d+, kest720\); waiting")
            self.assertRegex(err.splitlines()[1], r"is in use by another client")
            # The server knows which of its clients holds the port.
            self.assertIn("in use by another client of this server (kest720-cli, process %d)"
                          % first.pid, err.splitlines()[-1])
        finally:
            first.send_signal(signal.SIGINT)
            first.communicate(timeout=60)
        self.assertEqual(first.returncode, 130)


class Quiet(ToolTest):
    def test_the_server_writes_only_warnings_unless_asked(self):
        self.sim()
        for rules, chatty in ((None, False), ("norvale.*=true", True)):
            with self.subTest(rules=rules):
                env = dict(os.environ)
                env.pop("QT_LOGGING_RULES", None)
                if rules:
                    env["QT_LOGGING_RULES"] = rules
                # A bus of its own, as the README has the user start it: the
                # server's standard error is the terminal's.
                code, out, err = run(["dbus-run-session", "--", CLI, "--port", "1", "info"],
                                     env=env)
                self.assertEqual(code, 0, err)
                ours = [l for l in err.splitlines() if not l.startswith("dbus-daemon[")]
                self.assertEqual(bool(ours), chatty, err)


class Install(ToolTest):
    def test_the_installed_tree_holds_the_simulator_and_lists_the_service_file(self):
        with tempfile.TemporaryDirectory() as prefix:
            code, out, err = run([CMAKE, "--install", BUILD, "--prefix", prefix])
            self.assertEqual(code, 0, err)
            self.assertTrue(os.access(os.path.join(prefix, "bin", "sim721"), os.X_OK))
            with open(os.path.join(BUILD, "install_manifest.txt")) as f:
                manifest = f.read().splitlines()
            service = os.path.join(prefix, "share", "dbus-1", "services", SERVICE + ".service")
            self.assertIn(service, manifest)
            self.assertIn(os.path.join(prefix, "bin", "sim721"), manifest)
            with open(service) as f:
                self.assertIn("Exec=" + os.path.join(prefix, "bin", "kest720"), f.read())


def main():
    if os.environ.get("KEST720_CLI_TEST_BUS") != "1":
        # Outside: make a ports folder and a config folder of our own, and a
        # session bus that activates the built server; then run again inside.
        with tempfile.TemporaryDirectory() as home:
            env = dict(os.environ)
            env["KEST720_CLI_TEST_BUS"] = "1"
            env["NORVALE_PORTS"] = os.path.join(home, "ports")
            env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
            env["XDG_DATA_DIRS"] = os.path.join(BUILD, "share") + ":/usr/share"
            env.pop("QT_LOGGING_RULES", None)
            env.pop("NORVALE_TRACE", None)
            os.makedirs(env["NORVALE_PORTS"])
            return subprocess.call(["dbus-run-session", "--", sys.executable] + sys.argv, env=env)
    unittest.main(argv=[sys.argv[0]] + sys.argv[6:], verbosity=2)


if __name__ == "__main__":
    sys.exit(main())
