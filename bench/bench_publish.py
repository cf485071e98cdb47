#!/usr/bin/python3
"""Measures publishing to an MQTT broker: several simulated meters at the real
line rate (1200 baud, one reading a second), each with its own kest721 host,
Assistant server and bus, all into one local Mosquitto. Per meter:

  - CPU added by publishing: kest721xl's CPU with publishing on, less with it
    off, over runs of the same length, as a share of one core;
  - the delay from LiveData (the reading's own instant) to a subscriber, p50/p99;
  - with the broker stopped (SIGSTOP) for the middle third of a run: the offset
    of each LiveData from its whole second, p99 (the host's timing unaffected);
  - the time to drain a 24-hour backlog (86,400 rows) once the broker is there,
    while that meter's live readings keep flowing (their delay p99 meanwhile).

    bench/bench_publish.py [--build DIR] [--meters N] [--seconds S]

Goals: under 0.2 % of one core per meter at one reading a second; p99 delay
under 50 ms on loopback; p99 offset under 20 ms with the broker stalled; the
backlog drained in under 60 s.
"""
import argparse
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

import paho.mqtt.client as mqtt

PREFIX = "bench/721"


def percentile(values, p):
    values = sorted(values)
    if not values:
        return float("nan")
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return None


def server_of(build, config):
    """The kest721xl whose settings live in `config`."""
    exe = os.path.join(build, "assistant/server/kest721xl")
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % pid) != exe:
                continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("XDG_CONFIG_HOME=" + config).encode() in f.read().split(b"\0"):
                    return int(pid)
        except OSError:
            continue
    return None


class Subscriber:
    def __init__(self, port):
        self.arrivals = []  # (serial, run, seq, late, delay ms)
        self.lock = threading.Lock()
        self.c = mqtt.Client(client_id="bench-sub-%d" % os.getpid())
        self.c.on_connect = lambda c, u, f, rc: c.subscribe(PREFIX + "/+/reading", qos=1)
        self.c.on_message = self._message
        self.c.connect("127.0.0.1", port, 30)
        self.c.loop_start()

    def _message(self, c, u, msg):
        now = time.time()
        p = json.loads(msg.payload)
        from datetime import datetime
        sent = datetime.fromisoformat(p["time"]).timestamp()
        with self.lock:
            self.arrivals.append((msg.topic.split("/")[-2], p["run"], p["seq"], p["late"],
                                  (now - sent) * 1000.0))

    def take(self):
        with self.lock:
            out, self.arrivals = self.arrivals, []
        return out


class Meter:
    def __init__(self, build, work, index, broker_port):
        self.build, self.index = build, index
        self.serial = "%04d" % (1000 + index)
        self.dir = os.path.join(work, "meter%d" % index)
        self.env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
                        XDG_DATA_HOME=os.path.join(self.dir, "data"),
                        NORVALE_PORTS=os.path.join(self.dir, "ports"), QT_QPA_PLATFORM="offscreen",
                        XDG_DATA_DIRS=build + "/share:/usr/share",
                        QT_LOGGING_RULES="norvale.*.debug=false;norvale.*.info=false")
        for k in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "NORVALE_PORTS"):
            os.makedirs(self.env[k])
        self.sim = subprocess.Popen([os.path.join(build, "simulator/sim721"), "--port", "1",
                                     "--ports-dir", self.env["NORVALE_PORTS"], "--no-stdin",
                                     "--serial", self.serial], stdout=subprocess.PIPE,
                                    env=self.env)
        self.sim.stdout.readline()
        self.sim.stdout.readline()
        self.reg("TimerInterval", "REG_DWORD", 1)
        self.host("publish", "set", "--broker", "mqtt://127.0.0.1:%d" % broker_port,
                  "--topic-prefix", PREFIX)
        self.proc = None

    def reg(self, name, kind, value):
        subprocess.run([os.path.join(self.build, "platform/registry/norvale-reg"), "write",
                        r"HKCU\Software\Norvale\721", name, kind, str(value)], check=True,
                       env=self.env, stdout=subprocess.DEVNULL)

    def host(self, *args):
        subprocess.run([os.path.join(self.build, "host/kest721/kest721"), *args], check=True,
                       env=self.env, stdout=subprocess.DEVNULL)

    def start_log(self, seconds):
        self.reg("TimerLength", "REG_DWORD", seconds)
        self.proc = subprocess.Popen(
            ["dbus-run-session", "--", os.path.join(self.build, "host/kest721/kest721"), "--port", "1",
             "log", "--save", "no"], env=self.env, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        self.pid = None
        self.cpu_first = self.cpu_last = None

    def sample_cpu(self):
        if self.pid is None:
            self.pid = server_of(self.build, self.env["XDG_CONFIG_HOME"])
        if self.pid is not None:
            cpu = cpu_seconds(self.pid)
            if cpu is not None:
                if self.cpu_first is None:
                    self.cpu_first = (cpu, time.monotonic())
                self.cpu_last = (cpu, time.monotonic())

    def cpu_share(self):
        if not self.cpu_first or self.cpu_last[1] <= self.cpu_first[1]:
            return float("nan")
        return (self.cpu_last[0] - self.cpu_first[0]) / (self.cpu_last[1] - self.cpu_first[1])

    def journal(self):
        return sqlite3.connect(os.path.join(self.env["XDG_DATA_HOME"], "norvale",
                                            "journal.sqlite"), timeout=10)

    def offsets(self, run):
        db = self.journal()
        try:
            return [u % 1000 for (u,) in db.execute("SELECT utc FROM readings WHERE run = ?",
                                                    (run,))]
        finally:
            db.close()

    def last_run(self):
        db = self.journal()
        try:
            return db.execute("SELECT MAX(id) FROM runs").fetchone()[0]
        finally:
            db.close()

    def close(self):
        self.sim.terminate()
        self.sim.wait(10)


def run_all(meters, seconds, during=()):
    for m in meters:
        m.start_log(seconds)
    started = time.monotonic()
    actions = sorted(during)
    while any(m.proc.poll() is None for m in meters):
        for m in meters:
            if m.proc.poll() is None:
                m.sample_cpu()
        while actions and time.monotonic() - started >= actions[0][0]:
            actions.pop(0)[1]()
        time.sleep(0.5)


def seed_backlog(meter, rows):
    """A day of readings that the broker never acknowledged, as if the broker
    had been away for 24 hours."""
    meter.host("journal", "list")  # makes the journal file and its schema
    db = meter.journal()
    now = int(time.time() * 1000)
    start = now - rows * 1000
    cur = db.execute("INSERT INTO runs(kind, started, serial, started_utc, ended_utc, units)"
                     " VALUES('log', ?, ?, ?, ?, 'mR/h')",
                     (25569 + start / 86400000.0, meter.serial, start, now))
    run = cur.lastrowid
    db.executemany("INSERT INTO readings(run, seq, stamp, value, unit, alarm_color, utc,"
                   " alarm_state, range_label, published) VALUES(?,?,?,?,?,0,?,1,'mR/h',0)",
                   ((run, i + 1, 25569 + (start + i * 1000) / 86400000.0, 0.015, "mR/h",
                     start + i * 1000) for i in range(rows)))
    db.commit()
    db.close()
    return run


def unpublished(meter):
    db = meter.journal()
    try:
        return db.execute("SELECT COUNT(*) FROM readings WHERE published = 0").fetchone()[0]
    finally:
        db.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--meters", type=int, default=3)
    ap.add_argument("--seconds", type=int, default=60, help="length of each run (60)")
    ap.add_argument("--backlog", type=int, default=86400)
    ap.add_argument("--mosquitto", default="/usr/sbin/mosquitto")
    args = ap.parse_args()
    if not 1 <= args.meters <= 20 or args.seconds < 10:
        ap.error("--meters 1 to 20, --seconds at least 10")
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix="bench-publish-")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n"
                % (port, os.environ.get("USER") or "root"))
    broker = subprocess.Popen([args.mosquitto, "-c", conf], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    sub = Subscriber(port)
    meters = [Meter(build, work, i + 1, port) for i in range(args.meters)]
    results = {m.serial: {} for m in meters}
    try:
        print("%d meters, runs of %d s at one reading a second, broker on 127.0.0.1:%d"
              % (args.meters, args.seconds, port), flush=True)
        run_all(meters, args.seconds)
        time.sleep(1)
        arrivals = sub.take()
        for m in meters:
            r = results[m.serial]
            r["cpu_on"] = m.cpu_share()
            delays = [d for s, _, _, late, d in arrivals if s == m.serial and not late]
            r["delay"] = (percentile(delays, 50), percentile(delays, 99), len(delays))
        for m in meters:
            m.host("publish", "off")
        run_all(meters, args.seconds)
        for m in meters:
            results[m.serial]["cpu_off"] = m.cpu_share()
            m.host("publish", "set")
        third = args.seconds / 3.0
        run_all(meters, args.seconds,
                during=[(third, lambda: broker.send_signal(signal.SIGSTOP)),
                        (2 * third, lambda: broker.send_signal(signal.SIGCONT))])
        for m in meters:
            offs = m.offsets(m.last_run())
            results[m.serial]["offset"] = (percentile(offs, 50), percentile(offs, 99), len(offs))
        time.sleep(2)
        sub.take()
        # A day's backlog in the first meter's journal, drained while it logs.
        m = meters[0]
        seed_backlog(m, args.backlog)
        drained = {}
        m.start_log(max(args.seconds, 90))
        began = time.monotonic()
        while m.proc.poll() is None:
            m.sample_cpu()
            if "t" not in drained and unpublished(m) == 0:
                drained["t"] = time.monotonic() - began
                m.proc.send_signal(signal.SIGINT)
            time.sleep(0.25)
        arrivals = sub.take()
        live = [d for s, _, _, late, d in arrivals if s == m.serial and not late]
        late = sum(1 for s, _, _, l, _ in arrivals if s == m.serial and l)
        results[m.serial]["drain"] = (drained.get("t"), late, percentile(live, 99), len(live))
    finally:
        for m in meters:
            if m.proc and m.proc.poll() is None:
                m.proc.send_signal(signal.SIGINT)
                m.proc.wait(30)
            m.close()
        sub.c.loop_stop()
        broker.send_signal(signal.SIGCONT)
        broker.terminate()
        broker.wait(10)

    print("\n%-6s %12s %17s %28s" % ("meter", "CPU added", "delay p50/p99",
                                     "offset p50/p99 (stalled)"))
    for serial, r in results.items():
        added = (r["cpu_on"] - r["cpu_off"]) * 100
        print("%-6s %10.3f %% %8.1f/%5.1f ms %16.1f/%5.1f ms  (%d readings)" % (
            serial, added, r["delay"][0], r["delay"][1], r["offset"][0], r["offset"][1],
            r["offset"][2]))
        print("%-6s CPU of kest721xl: %.3f %% publishing, %.3f %% not; %d readings timed"
              % ("", r["cpu_on"] * 100, r["cpu_off"] * 100, r["delay"][2]))
    serial = meters[0].serial
    t, late, p99, n = results[serial]["drain"]
    print("\nbacklog of %d rows (meter %s): %s, %d late messages arrived (repeats included); "
          "live readings meanwhile: "
          "%d, delay p99 %.1f ms" % (args.backlog, serial,
                                    "drained in %.1f s" % t if t else "NOT drained",
                                    late, n, p99))
    print("goals: CPU added < 0.2 % of a core per meter; delay p99 < 50 ms; offset p99 < 20 ms"
          " with the broker stalled; backlog drained < 60 s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
