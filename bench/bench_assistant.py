#!/usr/bin/python3
"""Measures the Assistant server against the simulated meter at the real line
rate (1200 baud, one reading a second), through the bus as a host sees it:

  - Connect through the Assistant against Initialize on a kest720 object alone;
  - LiveData instants: when each event reaches this client, against the whole
    second of its TimeStamp (p50, p99, worst), and missing or repeated seconds;
  - CPU of kest721xl plus kest720 over the run, as a share of one core.

    bench/bench_assistant.py [--build DIR] [--seconds N]

Runs on a private session bus of its own (dbus-run-session). Goals: Connect
within 5 % of Initialize, p99 offset under 20 ms, CPU of both servers under
0.5 % of a core.
"""
import argparse
import datetime
import os
import signal
import subprocess
import sys
import tempfile
import time


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--seconds", type=int, default=600, help="length of the run (600)")
    args = ap.parse_args()
    if args.seconds < 5 or args.seconds > 86400:
        ap.error("--seconds must be 5 to 86400")
    build = os.path.abspath(args.build)
    if "BENCH_INSIDE" not in os.environ:
        env = dict(os.environ, BENCH_INSIDE="1", QT_QPA_PLATFORM="offscreen",
                   XDG_DATA_DIRS=build + "/share:/usr/share",
                   QT_LOGGING_RULES="norvale.*.debug=false;norvale.*.info=false")
        return subprocess.call(["dbus-run-session", "--", sys.executable, __file__] + sys.argv[1:],
                               env=env)
    return run(build, args.seconds)


def cpu_seconds(pid):
    """CPU time of all the process's threads, to the nanosecond (the clock
    ticks of /proc/PID/stat are too coarse for a share under 1 %)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total / 1e9


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def run(build, seconds):
    import dbus
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    work = tempfile.mkdtemp(prefix="bench-assistant-")
    ports, config = os.path.join(work, "ports"), os.path.join(work, "config")
    os.makedirs(ports)
    os.makedirs(config)
    data = os.path.join(work, "data")
    os.environ.update(NORVALE_PORTS=ports, XDG_CONFIG_HOME=config, XDG_DATA_HOME=data)
    reg = os.path.join(build, "platform/registry/norvale-reg")
    for name, kind, value in (("ComPort", "REG_DWORD", 1), ("TimerInterval", "REG_DWORD", 1),
                              ("TimerLength", "REG_DWORD", seconds + 5)):
        subprocess.run([reg, "write", r"HKCU\Software\Norvale\721", name, kind, str(value)],
                       check=True)
    sim = subprocess.Popen([os.path.join(build, "simulator/sim721"), "--port", "1", "--ports-dir",
                            ports, "--no-stdin"], stdout=subprocess.PIPE)
    sim.stdout.readline()
    sim.stdout.readline()

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    daemon.UpdateActivationEnvironment({"NORVALE_PORTS": ports, "XDG_CONFIG_HOME": config,
                                        "XDG_DATA_HOME": data},
                                       dbus_interface="org.freedesktop.DBus")
    ctx = GLib.MainContext.default()

    # Initialize alone, on a kest720 object of our own.
    kpath = bus.get_object("Norvale720.kest720", "/").CreateInstance(
        dbus_interface="Norvale.Automation.ClassFactory")
    kobj = bus.get_object("Norvale720.kest720", kpath)
    kobj.Set("Norvale720._kest720", "Port", dbus.Int16(1),
             dbus_interface="org.freedesktop.DBus.Properties")
    kobj.OpenPort(dbus_interface="Norvale720._kest720", timeout=120)
    t0 = time.monotonic()
    kobj.Initialize(dbus_interface="Norvale720._kest720", timeout=120)
    initialize = time.monotonic() - t0
    kobj.Disconnect(False, dbus_interface="Norvale720._kest720", timeout=120)
    kobj.ClosePort(dbus_interface="Norvale720._kest720", timeout=120)
    kobj.Release(dbus_interface="Norvale.Automation.Object")
    time.sleep(2)  # the meter settles back to idle

    name = "kest721xl.kest721Assistant"
    path = bus.get_object(name, "/").CreateInstance(
        dbus_interface="Norvale.Automation.ClassFactory")
    obj = bus.get_object(name, path)
    iface = "kest721xl._kest721Assistant"
    t0 = time.monotonic()
    obj.Connect(dbus_interface=iface, timeout=120)
    connect = time.monotonic() - t0

    arrivals = []
    stopped = []
    bus.add_signal_receiver(lambda v, c, s: arrivals.append((time.time(), float(s))), "LiveData",
                            "kest721xl.__kest721Assistant", None, path)
    bus.add_signal_receiver(lambda: stopped.append(1), "LogStopped",
                            "kest721xl.__kest721Assistant", None, path)
    pids = [int(daemon.GetConnectionUnixProcessID(n, dbus_interface="org.freedesktop.DBus"))
            for n in (name, "Norvale720.kest720")]
    obj.StartLog(dbus_interface=iface, timeout=120)
    while not arrivals:
        ctx.iteration(True)
    cpu0, wall0 = [cpu_seconds(p) for p in pids], time.monotonic()
    # The bench sleeps in its main loop until the run ends, so that its own
    # wake-ups do not delay the events it times.
    loop = GLib.MainLoop()
    GLib.timeout_add(seconds * 1000, loop.quit)
    bus.add_signal_receiver(lambda: loop.quit(), "LogStopped", "kest721xl.__kest721Assistant",
                            None, path)
    if not stopped:
        loop.run()
    cpu1, wall1 = [cpu_seconds(p) for p in pids], time.monotonic()
    obj.StopLog(dbus_interface=iface, timeout=120)
    obj.Release(dbus_interface="Norvale.Automation.Object")
    sim.send_signal(signal.SIGTERM)
    sim.wait()

    epoch = datetime.datetime(1899, 12, 30)
    offsets, stamps = [], []
    for arrived, stamp in arrivals:
        when = epoch + datetime.timedelta(seconds=round(stamp * 86400))
        stamps.append(round(stamp * 86400))
        offsets.append((arrived - when.timestamp()) * 1000.0)
    span = stamps[-1] - stamps[0] + 1
    repeated = len(stamps) - len(set(stamps))
    missing = span - len(set(stamps))
    share = [(b - a) / (wall1 - wall0) * 100.0 for a, b in zip(cpu0, cpu1)]
    cpu = sum(share)
    print("Connect through the Assistant  %7.3f s" % connect)
    print("Initialize of kest720 alone    %7.3f s   (Assistant adds %+.1f %%, goal < 5 %%)"
          % (initialize, (connect / initialize - 1) * 100.0))
    print("LiveData events                %7d     over %d s: %d missing, %d repeated seconds"
          % (len(arrivals), span, missing, repeated))
    print("LiveData offset from its second  p50 %.1f ms  p99 %.1f ms  worst %.1f ms  (goal p99 < 20 ms)"
          % (percentile(offsets, 50), percentile(offsets, 99), max(offsets)))
    print("CPU of kest721xl + kest720     %7.2f %% of one core  (kest721xl %.2f %%, kest720 %.2f %%;"
          " goal < 0.5 %%), the journal's synced writes included" % (cpu, share[0], share[1]))
    import sqlite3
    kept = sqlite3.connect(os.path.join(data, "norvale", "journal.sqlite")).execute(
        "SELECT COUNT(*) FROM readings").fetchone()[0]
    print("Rows in the journal            %7d" % kept)
    return 0


if __name__ == "__main__":
    sys.exit(main())
