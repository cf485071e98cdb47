"""The Assistant's settings store, read-only, as the Assistant lays it out: one
SQLite file per root key, keys as a tree of names compared case-folded, a
REG_SZ value as UTF-8 with a closing NUL and a REG_DWORD as 4 bytes,
little-endian. The Assistant's bus contract does not publish a meter's
calibration or its alarm point, and both are files the user owns.
"""
import datetime
import os
import sqlite3
import struct
import urllib.parse

SECTION = ("Software", "Norvale", "721")
CALIBRATION = SECTION + ("Calibration",)
REG_SZ, REG_DWORD = 1, 4


def store_path():
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "norvale", "HKEY_CURRENT_USER.db")


def read_values(key, names, path=None):
    """name -> value (text or number) of the values of a key that exist; an
    unreadable store or a missing key reads as no values at all."""
    path = path or store_path()
    if not os.path.exists(path):
        return {}
    try:
        uri = "file:%s?mode=ro" % urllib.parse.quote(path)
        with sqlite3.connect(uri, uri=True, timeout=2) as db:
            node = 1  # the root key
            for part in key:
                row = db.execute("SELECT id FROM keys WHERE parent = ? AND fold = ?",
                                 (node, part.casefold())).fetchone()
                if row is None:
                    return {}
                node = row[0]
            found = {}
            for name in names:
                row = db.execute("SELECT type, data FROM vals WHERE key = ? AND fold = ?",
                                 (node, name.casefold())).fetchone()
                if row is not None:
                    found[name] = decode(*row)
            return found
    except sqlite3.Error:
        return {}


def decode(kind, data):
    data = bytes(data)
    if kind == REG_DWORD and len(data) == 4:
        return struct.unpack("<i", data)[0]
    if kind == REG_SZ:
        return data.rstrip(b"\0").decode("utf-8", "replace")
    return None


def calibration_text(serial, today=None, path=None):
    """The meter's calibration as the command-line host's status tells it:
    "due YYYY-MM-DD (certificate C)", ", OVERDUE" once past; None when no due
    date is recorded. Second value: whether it is overdue."""
    if not serial:
        return None, False
    values = read_values(CALIBRATION + (serial,), ("Due", "Certificate"), path)
    try:
        due = datetime.date.fromisoformat(values.get("Due") or "")
    except (TypeError, ValueError):
        return None, False
    text = "due %s" % due.isoformat()
    if values.get("Certificate"):
        text += " (certificate %s)" % values["Certificate"]
    overdue = (today or datetime.date.today()) > due
    if overdue:
        text += ", OVERDUE"
    return text, overdue


def alarm_point(path=None):
    """The alarm point while the alarm is enabled, else None."""
    values = read_values(SECTION, ("AlarmPoint", "AlarmEnabled"), path)
    if not values.get("AlarmEnabled", 1):  # enabled unless the store says otherwise
        return None
    try:
        return float(str(values.get("AlarmPoint", "0")).replace(",", "."))
    except ValueError:
        return None
