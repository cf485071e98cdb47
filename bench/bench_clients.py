#!/usr/bin/python3
"""CPU of each command-line client while it waits on the meter: kest720-cli
(stream, download, dose) and kest721 (log, download), each run as a user runs
it against the simulated meter at the real line rate (1200 baud), on a
private session bus.

    bench/bench_clients.py [--build DIR] [--seconds N] [--records N]

Prints, for each job, its wall time and the client's own CPU time (user and
system, from the kernel's accounting of the ended process) as a share of one
core. Goal: under 1 % each; a client that polls the event loop shows as tens
of per cent.
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

SECTION = r"HKCU\Software\Norvale\721"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    ap.add_argument("--seconds", type=int, default=30,
                    help="length of the stream, dose and log jobs (30)")
    ap.add_argument("--records", type=int, default=200,
                    help="records in the meter's data log (200)")
    args = ap.parse_args()
    if not 5 <= args.seconds <= 3600 or not 1 <= args.records <= 5000:
        ap.error("--seconds must be 5 to 3600, --records 1 to 5000")
    build = os.path.abspath(args.build)
    if "BENCH_INSIDE" not in os.environ:
        env = dict(os.environ, BENCH_INSIDE="1", QT_QPA_PLATFORM="offscreen",
                   XDG_DATA_DIRS=build + "/share:/usr/share",
                   QT_LOGGING_RULES="norvale.*.debug=false;norvale.*.info=false")
        return subprocess.call(["dbus-run-session", "--", sys.executable, __file__] + sys.argv[1:],
                               env=env)
    return run(build, args.seconds, args.records)


def measure(argv):
    """(wall s, CPU s, exit status) of one client run to its end."""
    t0 = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return time.monotonic() - t0, usage.ru_utime + usage.ru_stime, proc.returncode


def run(build, seconds, records):
    work = tempfile.mkdtemp(prefix="bench-clients-")
    ports, config, data = (os.path.join(work, d) for d in ("ports", "config", "data"))
    os.makedirs(ports)
    os.makedirs(config)
    os.environ.update(NORVALE_PORTS=ports, XDG_CONFIG_HOME=config, XDG_DATA_HOME=data)
    subprocess.run(["dbus-update-activation-environment", "NORVALE_PORTS", "XDG_CONFIG_HOME",
                    "XDG_DATA_HOME"], check=True)
    reg = os.path.join(build, "platform/registry/norvale-reg")
    for name, value in (("TimerInterval", 1), ("TimerLength", seconds)):
        subprocess.run([reg, "write", SECTION, name, "REG_DWORD", str(value)], check=True)
    sim = subprocess.Popen([os.path.join(build, "simulator/sim721"), "--port", "1",
                            "--ports-dir", ports, "--no-stdin", "--log-records", str(records)],
                           stdout=subprocess.PIPE)
    sim.stdout.readline()
    sim.stdout.readline()

    cli = os.path.join(build, "host/kest720/kest720-cli")
    host = os.path.join(build, "host/kest721/kest721")
    jobs = [
        ("kest720-cli stream %d" % seconds, [cli, "--port", "1", "stream", str(seconds)]),
        ("kest720-cli download (%d records)" % records, [cli, "--port", "1", "download"]),
        ("kest720-cli dose %d" % seconds, [cli, "--port", "1", "dose", str(seconds)]),
        ("kest721 log (%d s)" % seconds, [host, "--port", "1", "log", "--save", "no"]),
        ("kest721 download (%d records)" % records,
         [host, "--port", "1", "download", "--save", "no"]),
    ]
    worst = 0.0
    print("%-36s %9s %9s %14s" % ("job", "wall s", "CPU s", "share of a core"))
    for name, argv in jobs:
        wall, cpu, status = measure(argv)
        share = 100.0 * cpu / wall
        worst = max(worst, share)
        print("%-36s %9.1f %9.3f %12.2f %%%s" % (name, wall, cpu, share,
                                                 "" if status == 0 else "  (exit %d)" % status))
        time.sleep(2)  # the servers release the port before the next job
    print("worst %.2f %% of a core (goal < 1 %%)" % worst)
    sim.send_signal(signal.SIGTERM)
    sim.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
