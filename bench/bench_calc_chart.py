#!/usr/bin/python3
"""The Live sheet of the Calc extension through a long run, in a headless
office: the time to write a row, and the time the chart takes to take in the
rows so far (its range grows in batches), at several lengths of run. A run of
hours at one reading a second must leave the office's main thread idle most
of the time.

Usage: bench_calc_chart.py [--rows N]   (default 36000: ten hours at 1 s)
Needs LibreOffice and python3-uno.
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "host", "calc"))
sys.path.insert(0, os.path.join(HERE, "..", "host", "calc", "extension", "python", "pythonpath"))

from office import Office  # noqa: E402
from kest721calc.workbook import CHART_INTERVAL, Workbook, now_as_date_number  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=36000)
    args = parser.parse_args()
    if args.rows < 1:
        parser.error("--rows must be at least 1")
    office = Office().start()
    try:
        doc = office.load("private:factory/scalc")
        book = Workbook(doc)
        start = now_as_date_number()
        book.add_run_header(start, "1234")
        marks = sorted({m for m in (100, 1000, 3600, 10000, 36000, args.rows) if m <= args.rows})
        print("%8s %14s %18s %16s" % ("rows", "row write ms", "chart update ms", "chart share"))
        written = 0
        for mark in marks:
            before = written
            t0 = time.perf_counter()
            while written < mark:
                written += 1
                book.add_live(0.015 + (written % 13) * 0.0001, 0, start + written / 86400.0,
                              "mR/h")
            per_row = (time.perf_counter() - t0) * 1000.0 / (mark - before)
            t0 = time.perf_counter()
            book.refresh_chart(force=True)
            chart = time.perf_counter() - t0
            # The chart takes in rows at most every CHART_INTERVAL seconds, and
            # never more often than its own cost allows.
            share = chart / max(CHART_INTERVAL, 20 * chart)
            print("%8d %14.3f %18.1f %15.1f%%" % (mark, per_row, chart * 1000.0, share * 100.0))
        doc.close(True)
    finally:
        office.stop()


if __name__ == "__main__":
    main()
