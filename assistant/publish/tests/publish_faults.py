#!/usr/bin/python3
"""The publisher in kest721xl against a real Mosquitto, the real servers and
the simulated meter: every fault we know of, as one table.

    XDG_DATA_DIRS=BUILD/share:/usr/share dbus-run-session -- \\
        publish_faults.py --build-dir BUILD [--mosquitto /usr/sbin/mosquitto] [--cases a,b]

Each case gets a settings store and a journal of its own; the broker is a
Mosquitto started here on a free loopback port from a generated configuration
(plain, or TLS with a throwaway CA made by openssl and a password file made by
mosquitto_passwd). Subscribers are real MQTT clients (paho). A case passes when
kest721 behaves as it should and every row of the journal reaches the
subscriber at least once (duplicates are told apart by run and seq), the late
ones in order among themselves and the live ones likewise.
"""
import argparse
import csv
import json
import os
import pwd
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import traceback

import dbus
import paho.mqtt.client as mqtt

BUILD = None
MOSQUITTO = "/usr/sbin/mosquitto"
PREFIX = "test/721"
PORT = 3
SERIAL = "4711"
SECOND_SERIAL = "5813"
ASSISTANT = "kest721xl.kest721Assistant"
SECRET = "pw-9f2c"  # the broker user's password: must never be shown


def program(*parts):
    return os.path.join(BUILD, *parts)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, timeout, step=0.1):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(step)
    return condition()


class Tls:
    """A throwaway CA, a server certificate for 127.0.0.1 signed by it, and a
    second CA that signed nothing the broker shows."""

    def __init__(self, folder):
        self.dir = folder
        ssl = lambda *a: subprocess.run(["openssl", *a], check=True, capture_output=True)
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        for ca in ("ca", "other-ca"):
            ssl("req", "-x509", *ec, "-keyout", self.path(ca + ".key"), "-out",
                self.path(ca + ".crt"), "-days", "2", "-subj", "/CN=Test " + ca)
        ssl("req", *ec, "-keyout", self.path("server.key"), "-out", self.path("server.csr"),
            "-subj", "/CN=127.0.0.1")
        with open(self.path("san.ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        ssl("x509", "-req", "-in", self.path("server.csr"), "-CA", self.path("ca.crt"),
            "-CAkey", self.path("ca.key"), "-CAcreateserial", "-out", self.path("server.crt"),
            "-days", "2", "-extfile", self.path("san.ext"))

    def path(self, name):
        return os.path.join(self.dir, name)


class Broker:
    """Mosquitto on 127.0.0.1:port, plain, or TLS with user 'meter'."""

    def __init__(self, folder, tls=None):
        self.dir = folder
        self.port = free_port()
        self.tls = tls
        self.proc = None
        # Persistent, so that a subscriber's session outlives a restart.
        store = os.path.join(folder, "store-%d" % self.port)
        os.makedirs(store)
        conf = ["listener %d 127.0.0.1" % self.port, "persistence true",
                "persistence_location " + store + "/", "autosave_interval 1",
                "max_queued_messages 100000", "log_dest stderr",
                "user " + pwd.getpwuid(os.getuid()).pw_name]
        if tls:
            passwords = os.path.join(folder, "passwords")
            open(passwords, "w").close()
            os.chmod(passwords, 0o600)
            subprocess.run(["mosquitto_passwd", "-b", passwords, "meter", SECRET], check=True)
            conf += ["allow_anonymous false", "password_file " + passwords,
                     "cafile " + tls.path("ca.crt"), "certfile " + tls.path("server.crt"),
                     "keyfile " + tls.path("server.key")]
        else:
            conf += ["allow_anonymous true"]
        self.conf = os.path.join(folder, "mosquitto-%d.conf" % self.port)
        with open(self.conf, "w") as f:
            f.write("\n".join(conf) + "\n")

    @property
    def url(self):
        return "%s://127.0.0.1:%d" % ("mqtts" if self.tls else "mqtt", self.port)

    def start(self):
        self.log = open(os.path.join(self.dir, "mosquitto-%d.log" % self.port), "a")
        self.proc = subprocess.Popen([MOSQUITTO, "-c", self.conf], stdout=self.log,
                                     stderr=self.log)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        if not wait_for(listening, 10):
            raise RuntimeError("mosquitto did not start on port %d" % self.port)
        return self

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.kill()
            self.proc.wait(10)
            self.log.close()

    def stop(self):
        """As a service manager stops it: its sessions are saved."""
        self.proc.terminate()
        self.proc.wait(10)
        self.log.close()

    def stall(self):
        self.proc.send_signal(signal.SIGSTOP)

    def resume(self):
        self.proc.send_signal(signal.SIGCONT)


class Subscriber:
    """A real MQTT client that keeps every message under the test's prefix."""
    count = 0

    def __init__(self, broker):
        self.messages = []
        self.lock = threading.Lock()
        # A session the broker keeps while this client or the broker is away.
        Subscriber.count += 1
        self.client = mqtt.Client(client_id="test-sub-%d-%d" % (os.getpid(), Subscriber.count),
                                  clean_session=False)
        self.subscribed = threading.Event()
        if broker.tls:
            self.client.tls_set(ca_certs=broker.tls.path("ca.crt"))
            self.client.username_pw_set("meter", SECRET)
        self.client.on_message = self._message
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(PREFIX + "/#", qos=1)
        self.client.on_subscribe = lambda c, u, mid, q: self.subscribed.set()
        self.client.reconnect_delay_set(0.2, 0.5)
        self.client.connect_async("127.0.0.1", broker.port, 30)
        self.client.loop_start()
        if not self.subscribed.wait(10):
            raise RuntimeError("the subscriber did not get its subscription")

    def _message(self, client, userdata, msg):
        try:
            payload = json.loads(msg.payload.decode("utf-8"))
        except ValueError:
            payload = msg.payload.decode("utf-8", "replace")
        with self.lock:
            self.messages.append((msg.topic, payload, bool(msg.retain)))

    def of(self, leaf):
        with self.lock:
            return [p for t, p, _ in self.messages if t.endswith("/" + leaf)]

    def readings(self, run):
        return [(p["seq"], p["late"]) for p in self.of("reading") if p["run"] == run]

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


class Case:
    """One row of the table: its own settings, journal and broker(s)."""

    def __init__(self, name, folder, bus, tls):
        self.name = name
        self.dir = os.path.join(folder, name)
        os.makedirs(self.dir)
        self.bus = bus
        self.tls = tls
        self.brokers = []
        self.subscribers = []
        self.notes = []
        env = {"XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
               "XDG_DATA_HOME": os.path.join(self.dir, "data")}
        for d in env.values():
            os.makedirs(d)
        os.environ.update(env)
        # The servers the bus starts from now on keep this case's files.
        bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").\
            UpdateActivationEnvironment(env, dbus_interface="org.freedesktop.DBus")
        self.reg("TimerInterval", "REG_DWORD", 0)  # a row every 100 ms

    def broker(self, tls=False, start=True):
        b = Broker(self.dir, self.tls if tls else None)
        self.brokers.append(b)
        return b.start() if start else b

    def subscribe(self, broker):
        s = Subscriber(broker)
        self.subscribers.append(s)
        return s

    def reg(self, name, kind, value):
        subprocess.run([program("platform", "registry", "norvale-reg"), "write",
                        "HKCU\\Software\\Norvale\\721", name, kind, str(value)], check=True,
                       stdout=subprocess.DEVNULL)

    def kest721(self, *args, check=None):
        r = subprocess.run([program("host", "kest721", "kest721"), *args], capture_output=True,
                           text=True, timeout=120)
        self.notes.append("kest721 %s -> %d" % (" ".join(args[:2]), r.returncode))
        if check is not None and r.returncode != check:
            raise AssertionError("kest721 %s exited %d, not %d:\n%s%s" % (
                " ".join(args), r.returncode, check, r.stdout, r.stderr))
        # No output of any command ever holds the broker password.
        assert SECRET not in r.stdout + r.stderr, "the password was shown"
        return r

    def publish_set(self, broker, *more):
        args = ["publish", "set", "--broker", broker.url, "--topic-prefix", PREFIX]
        if broker.tls:
            pw = os.path.join(self.dir, "password")
            with open(pw, "w") as f:
                f.write(SECRET + "\n")
            os.chmod(pw, 0o600)
            args += ["--username", "meter", "--password-file", pw, "--ca-file",
                     broker.tls.path("ca.crt")]
        return self.kest721(*args, *more, check=0)

    def log(self, seconds, during=(), check=0):
        """A logging run of `seconds`; `during` are (after seconds, action) pairs.
        Returns the rows kest721 wrote (the LiveData it got)."""
        self.reg("TimerLength", "REG_DWORD", seconds)
        out = os.path.join(self.dir, "log-%d.csv" % time.monotonic_ns())
        proc = subprocess.Popen([program("host", "kest721", "kest721"), "--port", str(PORT), "log",
                                 "--save", "no", "--csv", out], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True)
        started = time.monotonic()
        try:
            for after, action in sorted(during, key=lambda d: d[0]):
                time.sleep(max(0, started + after - time.monotonic()))
                action()
        except BaseException:
            proc.kill()  # not into the next case
            proc.communicate()
            raise
        _, err = proc.communicate(timeout=120)
        self.notes.append("log %ds -> %d" % (seconds, proc.returncode))
        if check is not None and proc.returncode != check:
            raise AssertionError("kest721 log exited %d: %s" % (proc.returncode, err))
        with open(out) as f:
            return list(csv.DictReader(f))

    def assistant_pid(self):
        return int(self.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").
                   GetConnectionUnixProcessID(ASSISTANT, dbus_interface="org.freedesktop.DBus"))

    def server_gone(self):
        """Both servers have ended (the instrument server releases the port)."""
        d = self.bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        return wait_for(lambda: not any(
            d.NameHasOwner(n, dbus_interface="org.freedesktop.DBus")
            for n in (ASSISTANT, "Norvale720.kest720")), 20)

    def when_logging(self, action, rows=10):
        """`action` once the journal holds `rows` readings: the run is going."""
        def wait_then_act():
            assert wait_for(lambda: os.path.exists(self.journal_path()) and
                            sum(len(r) for r in self.journal().values()) >= rows, 30)
            action()
        return wait_then_act

    def journal_path(self):
        return os.path.join(os.environ["XDG_DATA_HOME"], "norvale", "journal.sqlite")

    def journal(self):
        """{run: [(seq, published)]} of the logging runs in this case's journal."""
        db = sqlite3.connect(self.journal_path(), timeout=10)
        try:
            if not db.execute("SELECT name FROM sqlite_master WHERE name = 'readings'").fetchall():
                return {}  # the server is making the file
            rows = db.execute("SELECT r.run, r.seq, r.published FROM readings r JOIN runs u"
                              " ON u.id = r.run WHERE u.kind = 'log' ORDER BY r.run, r.seq")
            out = {}
            for run, seq, published in rows:
                out.setdefault(run, []).append((seq, published))
            return out
        finally:
            db.close()

    def check_complete(self, subscriber, run, timeout=20):
        """Every row of the run arrived, none missing, the late ones in order
        among themselves and the live ones too; and the journal knows it."""
        wanted = [seq for seq, _ in self.journal()[run]]
        assert wanted == list(range(1, len(wanted) + 1)), "the journal has gaps"
        wait_for(lambda: {s for s, _ in subscriber.readings(run)} >= set(wanted), timeout)
        got = subscriber.readings(run)
        missing = sorted(set(wanted) - {s for s, _ in got})
        assert not missing, "run %d: %d of %d rows missing, first %s" % (
            run, len(missing), len(wanted), missing[:5])
        for late in (True, False):
            seqs = [s for s, l in got if l == late]
            # A repeat (QoS 1) may come again right after its first copy.
            firsts = [s for i, s in enumerate(seqs) if s not in seqs[:i]]
            assert firsts == sorted(firsts), "run %d: %s rows out of order" % (
                run, "late" if late else "live")
        wait_for(lambda: all(p for _, p in self.journal()[run]), 10)
        unmarked = [s for s, p in self.journal()[run] if not p]
        assert not unmarked, "run %d: %d rows sent but not marked" % (run, len(unmarked))
        self.notes.append("run %d: %d rows, %d late, %d repeated" % (
            run, len(wanted), sum(1 for _, l in got if l), len(got) - len(set(s for s, _ in got))))
        return got

    def close(self):
        for s in self.subscribers:
            s.close()
        for b in self.brokers:
            b.kill()
        self.server_gone()


# ---- the cases -------------------------------------------------------------------

def case_plain(c):
    b = c.broker()
    sub = c.subscribe(b)
    c.publish_set(b)
    # Just under the simulated meter's background: its noise makes alarm episodes.
    c.reg("AlarmPoint", "REG_SZ", "0.0149")
    c.reg("AlarmEnabled", "REG_DWORD", 1)
    # An overdue meter is published with its due date, not held back.
    c.kest721("calibration", SERIAL, "--due", "2020-01-31", check=0)
    rows = c.log(3)
    run = max(c.journal())
    got = c.check_complete(sub, run)
    assert len(rows) == len(c.journal()[run])
    assert not got[-1][1], "the last reading of a run with its broker present was late"
    # An alarm message for the run's first reading and for each change after it,
    # naming the reading that showed it.
    readings = {}
    for p in sub.of("reading"):
        if p["run"] == run and not p["late"]:
            readings.setdefault(p["seq"], p["alarm"])
    states = [readings[s] for s in sorted(readings)]
    changes = [(s, a) for i, (s, a) in enumerate(sorted(readings.items()))
               if i == 0 or a != states[i - 1]]
    alarms = [(p["seq"], p["state"]) for p in sub.of("alarm") if p["run"] == run]
    assert alarms == changes, (alarms, changes)
    assert "alarm" in states, "no alarm episode to look at: %s" % states
    meta = sub.of("meta")[-1]
    assert meta["serial"] == SERIAL and meta["unit"] == "mR/h" and meta["v"] == 1, meta
    assert meta["calibrationDue"] == "2020-01-31", meta
    states = [p["state"] for p in sub.of("state")]
    assert "logging" in states and states[-1] == "disconnected", states
    shown = c.kest721("publish", "show", check=0).stdout
    assert "connected" in shown or "stopped" in shown, shown
    # What a newcomer sees: the retained messages, as lines and as the table.
    lines = [json.loads(l) for l in c.kest721("watch", "--json", "--for", "1",
                                              check=0).stdout.splitlines()]
    kinds = {(l["serial"], l["kind"]) for l in lines if l["retained"]}
    assert {(SERIAL, "meta"), (SERIAL, "state"), (SERIAL, "alarm")} <= kinds, kinds
    table = c.kest721("watch", "--for", "1", "--serial", SERIAL, check=0).stdout.splitlines()
    assert table[0].split()[:3] == ["SERIAL", "STATE", "VALUE"], table
    assert table[1].split()[:2] == [SERIAL, "disconnected"], table


def case_broker_down_at_connect(c):
    b = c.broker()
    sub = c.subscribe(b)
    c.publish_set(b)
    b.stop()
    shown = {}

    def look():
        shown["publish"] = c.kest721("publish", "show").stdout
    c.log(9, during=[(0.1, c.when_logging(look)), (0.2, c.when_logging(b.start, 20))])
    assert "Nothing accepts connections" in shown["publish"], shown["publish"]
    run = max(c.journal())
    got = c.check_complete(sub, run)
    assert dict(reversed(got))[1], "the first row, kept while the broker was away, was not late"
    b.stop()
    status = c.kest721("--port", str(PORT), "status", "--save", "no", check=0).stdout
    assert "Publishing: waiting" in status and "Nothing accepts" in status, status


def case_broker_killed_and_restarted(c):
    b = c.broker()
    sub = c.subscribe(b)
    c.publish_set(b)
    c.log(7, during=[(0.1, c.when_logging(b.kill)), (0.2, c.when_logging(b.start, 20))])
    run = max(c.journal())
    got = c.check_complete(sub, run)
    assert any(l for _, l in got), "no row was sent late after the broker came back"


def case_broker_stalled(c):
    b = c.broker()
    sub = c.subscribe(b)
    c.publish_set(b)
    rows = c.log(7, during=[(0.1, c.when_logging(b.stall)), (0.2, c.when_logging(b.resume, 40))])
    # The host's events kept coming while the broker was stopped: no gap in
    # the rows kest721 wrote longer than a few sampling intervals.
    times = [time.mktime(time.strptime(r["time"][:19], "%Y-%m-%dT%H:%M:%S")) for r in rows]
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert len(rows) >= 50 and max(gaps) <= 1, (len(rows), max(gaps))
    c.log(2)
    run = max(c.journal()) - 1
    c.check_complete(sub, run)


def case_wrong_password(c):
    b = c.broker(tls=True)
    c.publish_set(b)
    pw = os.path.join(c.dir, "password")
    with open(pw, "w") as f:
        f.write("not-the-password\n")
    r = c.kest721("publish", "test", check=1)
    assert "refused" in r.stderr and "not authorised" in r.stderr, r.stderr
    c.log(2)
    shown = c.kest721("publish", "show").stdout
    assert "refused" in shown, shown


def case_untrusted_certificate(c):
    b = c.broker(tls=True)
    c.publish_set(b)
    r = c.kest721("publish", "test", "--ca-file", b.tls.path("other-ca.crt"), check=1)
    assert "not trusted" in r.stderr, r.stderr
    # The right CA, but a name the certificate is not made for.
    r = c.kest721("publish", "test", "--broker", "mqtts://localhost:%d" % b.port, check=1)
    assert "not trusted" in r.stderr, r.stderr
    r = c.kest721("publish", "test", check=0)
    assert "Connected" in r.stdout, r.stdout
    # The server says the same, and keeps the rows for when it is trusted.
    c.publish_set(b, "--ca-file", b.tls.path("other-ca.crt"))
    c.log(2)
    shown = c.kest721("publish", "show").stdout
    assert "not trusted" in shown, shown
    assert all(not p for _, p in c.journal()[max(c.journal())])


def case_name_not_resolved(c):
    r = c.kest721("publish", "set", "--broker", "mqtt://no-such-broker.invalid",
                  "--topic-prefix", PREFIX, check=0)
    r = c.kest721("publish", "test", check=1)
    assert "cannot be resolved" in r.stderr, r.stderr


def case_password_file_open_to_others(c):
    b = c.broker(tls=True)
    pw = os.path.join(c.dir, "open-password")
    with open(pw, "w") as f:
        f.write(SECRET + "\n")
    os.chmod(pw, 0o644)
    r = c.kest721("publish", "set", "--broker", b.url, "--username", "meter",
                  "--password-file", pw, check=1)
    assert "chmod 600" in r.stderr, r.stderr
    assert "Publishing: off" in c.kest721("publish", "show").stdout


def case_password_in_url(c):
    r = c.kest721("publish", "set", "--broker", "mqtt://meter:%s@127.0.0.1:1883" % SECRET,
                  check=2)
    assert "must not hold a user name or password" in r.stderr, r.stderr
    listing = subprocess.run([program("platform", "registry", "norvale-reg"), "query",
                              "HKCU\\Software\\Norvale\\721\\Publish"], capture_output=True,
                             text=True).stdout
    assert SECRET not in listing and "127.0.0.1" not in listing, listing


def case_assistant_killed(c):
    b = c.broker()
    sub = c.subscribe(b)
    c.publish_set(b)
    b.stop()
    c.log(8, during=[(0.1, c.when_logging(
        lambda: os.kill(c.assistant_pid(), signal.SIGKILL)))], check=None)
    killed = max(c.journal())
    assert c.journal()[killed] and not any(p for _, p in c.journal()[killed])
    c.server_gone()
    b.start()
    c.log(3)
    got = c.check_complete(sub, killed)
    assert all(l for _, l in got), "rows of the killed server's run were not flagged late"


def case_two_meters_server_killed(c):
    """Each meter of a server that dies goes offline on the broker, not only
    the first: a newcomer must not see the second one connected forever. A
    server logs one meter at a time: the second meter is only connected, by
    a bus client of this test's own."""
    b = c.broker()
    sub = c.subscribe(b)
    c.publish_set(b)
    second = subprocess.Popen([program("simulator", "sim721"), "--port", str(PORT + 1),
                               "--ports-dir", os.environ["NORVALE_PORTS"], "--no-stdin", "--fast",
                               "--interval-ms", "200", "--serial", SECOND_SERIAL],
                              stdout=subprocess.PIPE, text=True)
    second.stdout.readline()
    second.stdout.readline()
    c.reg("ComPort", "REG_DWORD", PORT + 1)  # what the next Assistant made reads
    other = c.bus.get_object(ASSISTANT, c.bus.get_object(ASSISTANT, "/").CreateInstance(
        dbus_interface="Norvale.Automation.ClassFactory"))
    other.Connect(dbus_interface="kest721xl._kest721Assistant", timeout=60)

    def states():
        with sub.lock:
            return {t.split("/")[-2]: p["state"] for t, p, _ in sub.messages
                    if t.endswith("/state") and isinstance(p, dict)}

    def kill_when_both_busy():
        assert wait_for(lambda: states() == {SERIAL: "logging", SECOND_SERIAL: "connected"}, 30), \
            states()
        os.kill(c.assistant_pid(), signal.SIGKILL)

    try:
        assert wait_for(lambda: states().get(SECOND_SERIAL) == "connected", 30), states()
        c.log(60, during=[(0.1, kill_when_both_busy)], check=None)
        c.server_gone()
        # The broker notices a killed connection at once (its socket closes).
        assert wait_for(lambda: states() == {SERIAL: "offline", SECOND_SERIAL: "offline"}, 10), \
            states()
        newcomer = c.subscribe(b)
        assert wait_for(lambda: len([t for t, _, r in newcomer.messages
                                     if r and t.endswith("/state")]) == 2, 10)
        with newcomer.lock:
            kept = {t.split("/")[-2]: p["state"] for t, p, r in newcomer.messages
                    if r and t.endswith("/state")}
        assert kept == {SERIAL: "offline", SECOND_SERIAL: "offline"}, kept
    finally:
        second.terminate()
        second.wait(10)


def case_tls_with_password(c):
    b = c.broker(tls=True)
    sub = c.subscribe(b)
    c.publish_set(b, "--home-assistant", "yes")
    c.log(2)
    c.check_complete(sub, max(c.journal()))
    wait_for(lambda: sub.of("config"), 5)


def case_off_keeps_history_local(c):
    b = c.broker()
    sub = c.subscribe(b)
    c.kest721("publish", "off", check=0)
    c.log(2)
    before = max(c.journal())
    c.publish_set(b)
    c.log(2)
    after = max(c.journal())
    c.check_complete(sub, after)
    assert not sub.readings(before), "rows kept while publishing was off were sent"


def case_settings_from_three_sides(c):
    key = "HKCU\\Software\\Norvale\\721\\Publish"
    reg = program("platform", "registry", "norvale-reg")
    c.kest721("publish", "set", "--broker", "mqtt://127.0.0.1:1", "--username", "meter",
              "--home-assistant", "yes", check=0)
    # Options not given keep their values; an empty one clears it.
    c.kest721("publish", "set", "--topic-prefix", "site/a", "--username", "", check=0)
    subprocess.run([reg, "write", key, "ClientId", "REG_SZ", "pc-7"], check=True)
    shown = dict(l.split(": ", 1) for l in c.kest721("publish", "show", check=0).stdout.splitlines())
    assert (shown["Publishing"], shown["Broker"], shown["Topic prefix"], shown["User name"],
            shown["Client id"], shown["Home Assistant discovery"]) == (
        "on", "mqtt://127.0.0.1:1", "site/a", "(none)", "pc-7", "yes"), shown
    c.kest721("publish", "off", check=0)
    listing = subprocess.run([reg, "query", key], capture_output=True, text=True).stdout
    assert "Enabled" in listing and "0x00000000" in listing.split("Enabled", 1)[1].split("\n")[0]
    # Wrong usage: exit 2 and a pointer to the help.
    for args in (["publish"], ["publish", "start"], ["publish", "show", "--broker", "mqtt://b"],
                 ["publish", "set", "--timeout", "3"], ["publish", "test", "--timeout", "0"],
                 ["publish", "set", "--home-assistant", "maybe"], ["watch", "extra"],
                 ["watch", "--for", "-1"], ["publish", "set", "--broker", "http://b"]):
        r = c.kest721(*args, check=2)
        assert "kest721 " + args[0] + " --help" in r.stderr, (args, r.stderr)


CASES = [
    ("plain", "a run with its broker there", case_plain),
    ("down-at-connect", "broker down at Connect, up 2 s into the run",
     case_broker_down_at_connect),
    ("killed", "broker killed mid-run, started again", case_broker_killed_and_restarted),
    ("stalled", "broker stopped (SIGSTOP) for 3 s mid-run", case_broker_stalled),
    ("wrong-password", "TLS broker, wrong password", case_wrong_password),
    ("untrusted", "a CA that did not sign, a name not in the certificate",
     case_untrusted_certificate),
    ("unresolved", "a broker name that does not resolve", case_name_not_resolved),
    ("open-password-file", "password file readable by others", case_password_file_open_to_others),
    ("password-in-url", "a broker URL with a password", case_password_in_url),
    ("assistant-killed", "kest721xl killed mid-run, started again", case_assistant_killed),
    ("two-meters-killed", "kest721xl serving two meters killed", case_two_meters_server_killed),
    ("tls", "TLS and a password file, Home Assistant discovery", case_tls_with_password),
    ("off", "rows kept while publishing is off stay local", case_off_keeps_history_local),
    ("settings", "set, show, off, norvale-reg; wrong usage", case_settings_from_three_sides),
]


def main():
    global BUILD, MOSQUITTO
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--mosquitto", default=MOSQUITTO)
    parser.add_argument("--cases", help="comma-separated names (default: all)")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    if args.list:
        for name, what, _ in CASES:
            print("%-20s %s" % (name, what))
        return 0
    BUILD, MOSQUITTO = os.path.abspath(args.build_dir), args.mosquitto
    chosen = [c for c in CASES if not args.cases or c[0] in args.cases.split(",")]
    bus = dbus.SessionBus()
    results = []
    with tempfile.TemporaryDirectory(prefix="publish-test-") as tmp:
        ports = os.path.join(tmp, "ports")
        os.makedirs(ports)
        # The servers' own notes, but for the publisher's, would drown the table.
        env = {"NORVALE_PORTS": ports, "QT_QPA_PLATFORM": "offscreen",
               "QT_LOGGING_RULES": "norvale.*.info=false;norvale.publish.info=true"}
        os.environ.update(env)
        bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").\
            UpdateActivationEnvironment(env, dbus_interface="org.freedesktop.DBus")
        tls_dir = os.path.join(tmp, "tls-material")
        os.makedirs(tls_dir)
        tls = Tls(tls_dir)
        meter = subprocess.Popen([program("simulator", "sim721"), "--port", str(PORT),
                                  "--ports-dir", ports, "--no-stdin", "--fast", "--interval-ms",
                                  "200", "--serial", SERIAL], stdout=subprocess.PIPE, text=True)
        meter.stdout.readline()
        meter.stdout.readline()
        try:
            for name, what, run in chosen:
                case = Case(name, tmp, bus, tls)
                started = time.monotonic()
                try:
                    run(case)
                    outcome = "ok"
                except Exception as e:  # noqa: BLE001 - every failure is a row's result
                    outcome = "FAILED: %s" % e
                    traceback.print_exc()
                finally:
                    case.close()
                results.append((name, what, outcome, time.monotonic() - started, case.notes))
                print("%s: %s (%.1f s)" % (name, outcome, results[-1][3]), flush=True)
        finally:
            meter.terminate()
            meter.wait(10)
    print("\n%-20s %-58s %6s  %s" % ("case", "fault", "time", "result"))
    for name, what, outcome, took, notes in results:
        print("%-20s %-58s %5.1fs  %s" % (name, what, took, outcome))
        for n in notes:
            if n.startswith("run "):
                print("%-20s   %s" % ("", n))
    return 0 if all(r[2] == "ok" for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
