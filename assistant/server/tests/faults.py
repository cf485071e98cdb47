#!/usr/bin/python3
"""The fault matrix: every row a fault injected into a real run, every column an
operation a host performs, on a bus of its own with the real servers and the
simulated meter. Each cell must end with the host holding a clear result (the
operation's own success, or an error with its number and text) within the
protocol's time-outs, with no server hung or crashed, and with the journal
holding every reading the host received.

    faults.py [--rows NAME,...]     the rows to run (all by default)
    faults.py --list                the row names

Environment: SIM721, NORVALE_REG, KEST720 and KEST721XL name the programs.
The runner starts its own bus (dbus-run-session) whose service files start
each server through a shell that records its exit status, so that a crash
(a status other than 0, or than the kill a row made on purpose) fails the cell.
"""
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

ROW_NAMES = ["silent", "garbage", "nocr", "cut", "streaming", "unplugged", "kest720-killed",
             "kest721xl-killed", "host-killed", "two-hosts", "damaged-settings", "full-disk"]


def start_own_bus(argv):
    """Writes service files that wrap each server, then runs this script again
    under a private bus that knows only them."""
    work = tempfile.mkdtemp(prefix="kest721-faults-")
    services = os.path.join(work, "share", "dbus-1", "services")
    os.makedirs(services)
    wrap = os.path.join(work, "wrap")
    with open(wrap, "w") as f:
        f.write('#!/bin/sh\n"$@"\necho "${1##*/} $?" >> %s/exits\n' % work)
    os.chmod(wrap, 0o755)
    for name, program in (("Norvale720.kest720", "KEST720"),
                          ("kest721xl.kest721Assistant", "KEST721XL"),
                          ("kest721xl.MsgBox", "KEST721XL")):
        with open(os.path.join(services, name + ".service"), "w") as f:
            f.write("[D-BUS Service]\nName=%s\nExec=%s %s\n" % (name, wrap, os.environ[program]))
    env = dict(os.environ, XDG_DATA_DIRS=os.path.join(work, "share") + ":/usr/share",
               KEST721XL_TEST_WORK=work)
    os.execvpe("dbus-run-session", ["dbus-run-session", "--", sys.executable, __file__,
                                    "--inner"] + argv, env)


if __name__ == "__main__" and "--inner" not in sys.argv and "--host-run" not in sys.argv \
        and "--list" not in sys.argv:
    start_own_bus(sys.argv[1:])

import dbus  # noqa: E402
from contract_assistant import (BUS, DATA, CONFIG, NAME, I, K, P, PORTS, WORK, Host,  # noqa: E402
                                Meter, reg_write, set_up_bus)
from bustest import error_parts, has_owner, pid_of, spin  # noqa: E402

UNIT_R, UNIT_SV = 1, 2
KEST720 = "Norvale720.kest720"
PROGRAM = {NAME: "kest721xl", KEST720: "kest720"}

# The columns: the operation, how the host drives it, and the protocol's own
# time-out that bounds the wait for its error (seconds, from the fault).
COLUMNS = [
    ("connect", "Assistant.Connect", 12.0,
     "Initialize: 3 x ('C', 0.25 s quiet, 0.3 s) or a 6 s reply cut, then 5 s stream end"),
    ("log", "Assistant.StartLog, LiveData", 10.0, "10 s of silence ends the stream"),
    ("download", "Assistant.DownloadLog", 3.5, "command mode 1.7 s, then 1.5 s of silence"),
    ("settings", "Control: Units", 5.0, "command mode 1.7 s, 'U', 'Y', range report"),
    ("dose", "Control: StartIntegrate, GetDose", 5.0, "command mode 1.7 s, 'I', dose line"),
]
BOUNDS = {c[0]: c[2] for c in COLUMNS}
# A hang check, not a speed test: a loaded machine may take this many times longer.
SLACK, SLACK_ADD = 3, 15.0


def unplug(c):
    c.meter.close()


def kill_server(name):
    def act(c):
        c.killed.add(PROGRAM[name])
        os.kill(pid_of(name), signal.SIGKILL)
    return act


def second_host(c):
    """Another host connects to the same port while the first is busy with it."""
    other = Host()
    other.answers["721 Assistant"] = "OK"
    c.others.append(other)
    t0 = time.monotonic()
    other.call("Connect")
    c.second = (time.monotonic() - t0, other.boxes[-1][1] if other.boxes else "connected")


def fill_disk(c):
    """No file of the Assistant's may hold a byte more: writes fail as on a full disk."""
    import resource
    resource.prlimit(pid_of(NAME), resource.RLIMIT_FSIZE, (1, 1))


def damage_settings(c):
    for name in os.listdir(os.path.join(CONFIG, "norvale")):
        with open(os.path.join(CONFIG, "norvale", name), "r+b") as f:
            f.write(b"\xde\xad" * 2048)


# The rows: the meter's options, the fault injected mid-operation (None: the
# fault is there from the start), and per column what the host must get:
# "ok" (the operation's own result, checked) or "error"; absent: not applicable.
ALL_OK = dict.fromkeys(BOUNDS, "ok")
ROWS = [
    ("silent", ["--fault", "silent"], None, dict.fromkeys(BOUNDS, "error")),
    ("garbage", ["--fault", "garbage"], None, ALL_OK),
    ("nocr", ["--fault", "nocr"], None, dict.fromkeys(BOUNDS, "error")),
    ("cut", ["--fault", "cut"], None, ALL_OK),
    ("streaming", ["--streaming"], None, ALL_OK),
    ("unplugged", ["--slow"], unplug, dict.fromkeys(BOUNDS, "error")),
    ("kest720-killed", ["--slow"], kill_server(KEST720),
     dict.fromkeys(BOUNDS, "error")),
    ("kest721xl-killed", ["--slow"], kill_server(NAME), {"log": "error", "download": "error"}),
    ("host-killed", [], None, {"log": "cleanup"}),
    ("two-hosts", [], second_host, {"connect": "ok", "log": "ok"}),
    ("damaged-settings", [], lambda c: c.column == "log" and c.host.call("StopLog"),
     {"connect": "ok", "log": "ok"}),
    ("full-disk", ["--slow"], fill_disk, {"log": "ok", "download": "ok"}),
]


class Cell:
    """One operation under one fault; ends with everything it started gone."""

    port = 0

    def __init__(self, row, column):
        self.row, self.column = row, column
        name, args, self.fault, expected = row
        self.expected = expected.get(column)
        Cell.port += 1
        # A damaged store gives the default port, 1.
        self.port = 1 if name == "damaged-settings" else Cell.port
        self.killed, self.others, self.second = set(), [], None
        self.host = None
        self.meter = None
        self.args = [a for a in args if a != "--slow"]
        self.slow = "--slow" in args

    def start(self):
        for key, kind, value in (("ComPort", "REG_DWORD", self.port),
                                 ("TimerInterval", "REG_DWORD", 1),
                                 ("TimerLength", "REG_DWORD",
                                  600 if self.row[3].get("log") == "error" else 5),
                                 ("AlarmPoint", "REG_SZ", "0")):
            reg_write(key, kind, value)
        if self.row[0] == "damaged-settings":
            damage_settings(self)
        if self.row[0] == "host-killed":
            self.meter = Meter(self.port)
            return
        self.meter = Meter(self.port, *self.args) if not self.slow else SlowMeter(self.port)
        self.host = Host()
        self.host.answers.update({"721 Assistant": "OK", "Disconnect": "No"})

    def await_(self, done, trigger=None):
        """Waits for done(); a step of the operation that names a trigger gets the
        row's fault once trigger() holds. Returns the seconds from the fault (or
        from the start) to done()."""
        t0 = time.monotonic()
        injected = self.fault is None or trigger is None

        def step():
            nonlocal injected, t0
            if not injected and trigger():
                injected = True
                t0 = time.monotonic()
                self.fault(self)
            return injected and done()
        limit = SLACK * BOUNDS[self.column] + SLACK_ADD
        if not spin(step, limit + 5):
            raise AssertionError("no result within %.0f s: a hang" % limit)
        return time.monotonic() - t0

    def call(self, obj, member, *args, iface=I, trigger=None):
        result = {}
        getattr(obj, member)(*args, dbus_interface=iface, timeout=1e6,
                             reply_handler=lambda *a: result.setdefault("ok", a),
                             error_handler=lambda e: result.setdefault("error", e))
        seconds = self.await_(lambda: result, trigger)
        return seconds, result

    def second_text(self):
        return "; the second host: " + self.second[1] if self.second else ""

    def boxed(self):
        return [b[1] for b in self.host.boxes if b[0] == "721 Assistant"]


class SlowMeter(Meter):
    """The meter at its real line rate, so that a fault lands inside an exchange."""

    def __init__(self, n):
        self.proc = subprocess.Popen(
            [os.environ["SIM721"], "--port", str(n), "--ports-dir", PORTS, "--no-stdin",
             "--log-records", "40"], stdout=subprocess.PIPE)
        self.proc.stdout.readline()
        self.proc.stdout.readline()

    def close(self):
        if self.proc.poll() is None:
            super().close()


def after(seconds):
    end = time.monotonic() + seconds
    return lambda: time.monotonic() > end


def describe(result):
    if "ok" in result:
        return "ok", ""
    e = result["error"]
    if e.get_dbus_name() != "Norvale.Automation.Error":  # the server itself went away
        return "error", "%s: %s" % (e.get_dbus_name(), e.get_dbus_message())
    return "error", "%d %s: %s" % error_parts(e)


def connected(c, trigger=None):
    """Connect as a host does; a failure is the box the Assistant shows."""
    seconds, result = c.call(c.host.obj, "Connect", trigger=trigger)
    if "error" in result:
        return seconds, describe(result)
    if "Connected" in c.host.names() and c.host.get("Initialized"):
        return seconds, ("ok", "connected" + c.second_text())
    return seconds, ("error", " | ".join(c.boxed()) or "no box")


def op_connect(c):
    return connected(c, after(0.3))


def journal_rows(kind):
    with sqlite3.connect(os.path.join(DATA, "norvale", "journal.sqlite")) as db:
        return db.execute("SELECT stamp, value FROM readings WHERE run = (SELECT max(id) FROM "
                          "runs WHERE kind = ?) ORDER BY seq", (kind,)).fetchall()


def op_log(c):
    if c.row[0] == "host-killed":
        return host_killed(c)
    seconds, outcome = connected(c)
    if outcome[0] == "error":
        seconds, result = c.call(c.host.obj, "StartLog")
        return seconds, ("error", " | ".join(c.boxed()))
    h = c.host
    h.call("StartLog")
    ends = ("LogStopped", "LiveDataError")
    seconds = c.await_(lambda: any(n in h.names() for n in ends) or not has_owner(NAME),
                       lambda: h.names().count("LiveData") >= 2)
    if "LiveDataError" in h.names() and has_owner(NAME):
        # A host without a way back to the meter ends the run itself.
        spin(lambda: "LogStopped" in h.names(), 1)
        if "LogStopped" not in h.names():
            c.call(h.obj, "StopLog")
        after_error = h.names()[h.names().index("LiveDataError"):]
        c.check("LiveData" not in after_error, "readings after the line was lost")
    c.check(spin(lambda: "LogStopped" in h.names() or not has_owner(NAME), 20),
            "the run did not end")
    got = [(float(a[2]), float(a[0])) for n, a in h.events if n == "LiveData"]
    kept = journal_rows("log")
    if c.row[0] == "full-disk":
        full_journal(c, got, kept)
    elif c.row[0] == "kest721xl-killed":
        c.check(got == kept[:len(got)] and len(kept) - len(got) <= 1, "rows lost")
    else:
        c.check(got == kept and got, "host %d rows, journal %d" % (len(got), len(kept)))
    if "LiveDataError" in h.names():
        return seconds, ("error", "LiveDataError")
    if not has_owner(NAME):
        return seconds, ("error", "the Assistant left the bus")
    return seconds, ("ok", "%d rows, journal %d%s" % (len(got), len(kept), c.second_text()))


def full_journal(c, got, kept):
    """The journal stopped growing: the host still got every row, and was told once."""
    told = [b for b in c.boxed() if "journal" in b]
    c.check(len(told) == 1, "a full journal told %d times" % len(told))
    c.check(kept == got[:len(kept)] and len(kept) < len(got),
            "host %d rows, journal %d: no prefix" % (len(got), len(kept)))


def host_killed(c):
    """A host that dies mid-run: its Assistant ends the run and lets the port go."""
    child = subprocess.Popen([sys.executable, __file__, "--host-run"], stdout=subprocess.PIPE,
                             env=os.environ)
    got = []
    while len(got) < 2:
        got.append(tuple(float(x) for x in child.stdout.readline().split()))
    child.kill()
    child.wait()
    t0 = time.monotonic()
    c.check(spin(lambda: not has_owner(NAME) and not has_owner(KEST720),
                 SLACK * BOUNDS["log"] + SLACK_ADD), "servers left running")
    seconds = time.monotonic() - t0
    kept = journal_rows("log")
    c.check(got == kept[:len(got)], "rows lost")
    c.host = Host()  # the port is free again for the next host
    c.host.answers.update({"721 Assistant": "OK", "Disconnect": "No"})
    c.check(connected(c)[1][0] == "ok", "the port stayed taken")
    return seconds, ("cleanup", "servers gone, port free")


def op_download(c):
    connected(c)
    h = c.host
    seconds, result = c.call(h.obj, "DownloadLog")
    if "error" in result:
        return seconds, describe(result)
    ends = ("DataDownLoadComplete", "DataDownloadError")
    seconds = c.await_(lambda: any(n in h.names() for n in ends) or not has_owner(NAME),
                       lambda: "DataDownload" in h.names())
    got = [float(a[1][0]) for n, a in h.events if n == "DataDownload"]
    kept = [v for _, v in journal_rows("download")]
    if c.row[0] == "full-disk":
        full_journal(c, got, kept)
    elif c.row[0] != "kest721xl-killed":
        c.check(kept == got, "host %d records, journal %d" % (len(got), len(kept)))
    if "DataDownLoadComplete" in h.names():
        c.check(len(got) >= 5, "%d records" % len(got))
        return seconds, ("ok", "%d records, journal %d" % (len(got), len(kept)))
    if not has_owner(NAME):
        return seconds, ("error", "the Assistant left the bus")
    return seconds, ("error", "DataDownloadError" + "".join(" | " + b for b in c.boxed()))


def control_op(c, act):
    connected(c)
    seconds, result = c.call(c.host.obj, "Get", I, "Control", iface=P)
    if "error" in result:
        return seconds, describe(result)
    kest = BUS.get_object(*[str(x) for x in result["ok"][0]])
    if not c.host.get("Initialized"):
        # A host may still open the port and talk: these members need no start-up.
        c.call(kest, "OpenPort", iface=K)
    return act(kest)


def op_settings(c):
    def act(kest):
        try:
            old = int(kest.Get(K, "Units", dbus_interface=P, timeout=120))
        except dbus.DBusException:
            old = UNIT_R
        new = UNIT_SV if old == UNIT_R else UNIT_R
        seconds, result = c.call(kest, "Set", K, "Units", dbus.Int32(new), iface=P,
                                 trigger=after(0.3))
        if "error" in result:
            return seconds, describe(result)
        # Success must mean the meter changed: a fresh start-up reads its ranges again.
        _, again = c.call(kest, "Initialize", iface=K)
        c.check("ok" in again, "success reported, the meter no longer starts")
        now = int(kest.Get(K, "Units", dbus_interface=P, timeout=120))
        c.check(now == new, "success reported, the meter's units unchanged")
        return seconds, ("ok", "units %d" % now)
    return control_op(c, act)


def op_dose(c):
    def act(kest):
        seconds, result = c.call(kest, "StartIntegrate", iface=K, trigger=after(0.3))
        if "ok" in result:
            more, result = c.call(kest, "GetDose", iface=K)
            seconds += more
        if "error" in result:
            return seconds, describe(result)
        return seconds, ("ok", "dose %g" % float(result["ok"][0]))
    return control_op(c, act)


OPS = {"connect": op_connect, "log": op_log, "download": op_download, "settings": op_settings,
       "dose": op_dose}


def exits():
    try:
        with open(os.path.join(WORK, "exits")) as f:
            return [line.split() for line in f]
    except FileNotFoundError:
        return []


def zombies():
    """Processes of this bus session (the bus, the servers, their shells, the
    meters) that ended without being waited for."""
    procs = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        procs[int(pid)] = (fields[0], int(fields[1]))
    ours = {os.getppid()}
    while True:
        more = {p for p, (_, parent) in procs.items() if parent in ours} - ours
        if not more:
            break
        ours |= more
    return [p for p in ours if procs.get(p, ("",))[0] == "Z"]


def run_cell(row, column):
    c = Cell(row, column)
    problems = []
    c.check = lambda ok, why: ok or problems.append(why)
    before = len(exits())
    outcome, seconds = ("fail", "not run"), 0.0
    try:
        c.start()
        seconds, outcome = OPS[column](c)
    except Exception as e:  # noqa: BLE001 - every failure becomes the cell's verdict
        problems.append("%s: %s" % (type(e).__name__, e))
    # Nothing left behind: the hosts leave, the meter goes, and both servers end.
    for host in [c.host] + c.others:
        try:
            host and host.release()
        except dbus.DBusException:
            pass
    if c.meter:
        c.meter.close()
    if not spin(lambda: not has_owner(NAME) and not has_owner(KEST720), 40):
        problems.append("a server did not end")
        for name in (NAME, KEST720):
            if has_owner(name):
                os.kill(pid_of(name), signal.SIGKILL)
                c.killed.add(PROGRAM[name])
        spin(lambda: not has_owner(NAME) and not has_owner(KEST720), 10)
    spin(lambda: False, 0.2)
    if row[0] == "damaged-settings":
        for name in os.listdir(os.path.join(CONFIG, "norvale")):
            os.remove(os.path.join(CONFIG, "norvale", name))
    if row[0] == "two-hosts" and (c.second is None or c.second[1] == "connected"):
        problems.append("a second host on the busy port: %s" % (c.second,))
    for program, status in exits()[before:]:
        if status != "0" and not (program in c.killed and status == "137"):
            problems.append("%s ended with status %s" % (program, status))
    problems += ["zombie %s" % z for z in zombies()]
    if row[0] == "damaged-settings" and c.host:
        told = [b for b in c.boxed() if "settings" in b]
        c.check(len(told) == 1, "the damaged settings told %d times" % len(told))
    if outcome[0] != c.expected:
        problems.append("expected %s, got %s %s" % (c.expected, *outcome))
    if seconds > SLACK * BOUNDS[column] + SLACK_ADD:
        problems.append("%.1f s: beyond the bound" % seconds)
    detail = outcome[1].replace("\r\n", " ").replace("\n", " ")
    return ("pass" if not problems else "FAIL"), seconds, detail, problems


def host_run():
    """A host of its own (a process the test kills): connects, logs, prints rows."""
    host = Host()
    host.call("Connect")
    host.call("StartLog")
    seen = 0
    while True:
        spin(lambda: host.names().count("LiveData") > seen)
        for _, a in [e for e in host.events if e[0] == "LiveData"][seen:]:
            print(float(a[2]), float(a[0]), flush=True)
            seen += 1


def main(argv):
    names = ROW_NAMES
    if "--rows" in argv:
        names = argv[argv.index("--rows") + 1].split(",")
    set_up_bus()
    reg_write("ComPort", "REG_DWORD", 1)
    rows = [r for r in ROWS if r[0] in names]
    failures, table = 0, []
    for row in rows:
        for column in BOUNDS:
            if column not in row[3]:
                table.append("%-17s %-9s %5s %6s  n/a" % (row[0], column, "", ""))
                continue
            verdict, seconds, detail, problems = run_cell(row, column)
            failures += verdict != "pass"
            table.append("%-17s %-9s %4.1fs %5.1fs  %-4s %-7s %s" % (
                row[0], column, BOUNDS[column], seconds, verdict, row[3][column], detail[:90]))
            table += ["    " + p for p in problems]
            print(table[-1 - len(problems)], flush=True)
    # The whole matrix at the end, away from the servers' own messages.
    print("\nThe fault matrix (bound: the protocol's time-out; seconds: until the host had "
          "its result; a cell fails beyond %d x bound + %g s)" % (SLACK, SLACK_ADD))
    print("%-17s %-9s %5s %6s  %-4s %-7s %s" % ("fault", "operation", "bound", "took", "cell",
                                               "expect", "what the host got"))
    print("\n".join(table))
    print("columns:\n" + "\n".join("  %s: %s (bound %g s: %s)" % c for c in COLUMNS))
    print("%d cells failed" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    if "--list" in sys.argv:
        print("\n".join(ROW_NAMES))
    elif "--host-run" in sys.argv:
        host_run()
    else:
        sys.exit(main(sys.argv))
