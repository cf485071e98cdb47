#!/usr/bin/python3
"""Makes the workbook template with the extension's own layout code, so that the
template and a spreadsheet the extension prepares have the same sheets.

Usage: make_template.py OUTPUT.ots
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "extension", "python", "pythonpath"))

from office import Office, file_url, props  # noqa: E402
from kest721calc.workbook import LIVE, Workbook  # noqa: E402


def main(out):
    office = Office().start()
    try:
        doc = office.load("private:factory/scalc")
        sheets = doc.Sheets
        first = sheets.getByIndex(0).Name
        Workbook(doc)
        if first != LIVE:
            sheets.removeByName(first)  # the empty default sheet has no use here
        if doc.CurrentController is not None:
            doc.CurrentController.setActiveSheet(sheets.getByName(LIVE))
        doc.DocumentProperties.Title = "721 Assistant"
        tmp = out + ".tmp"
        doc.storeToURL(file_url(tmp), props(FilterName="calc8_template"))
        doc.close(True)
        os.replace(tmp, out)
    finally:
        office.stop()


if __name__ == "__main__":
    main(sys.argv[1])
