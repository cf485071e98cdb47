#!/usr/bin/python3
"""Calc drives the Assistant as a person does with the toolbar: the built
extension installed into a private office profile, the real kest721xl and
kest720 started by a private bus, the simulated meter sim721, and the cells
checked against the Assistant's own signals, which this test hears too.

Environment: SIM721, NORVALE_REG, KEST721CALC_OXT, KEST721CALC_OTS; the bus
must activate the build tree's servers (XDG_DATA_DIRS). Exit status 77 (skip)
where LibreOffice is not installed.
"""
import datetime
import glob
import os
import pwd
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
import zipfile

try:
    import uno  # noqa: F401
    from com.sun.star.util.NumberFormat import DATETIME
except ImportError:
    print("python3-uno is not installed: skipped")
    sys.exit(77)
if shutil.which("soffice") is None:
    print("LibreOffice is not installed: skipped")
    sys.exit(77)

import dbus  # noqa: E402
import openpyxl  # noqa: E402
from dbus.mainloop.glib import DBusGMainLoop  # noqa: E402
from PIL import Image  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from office import Office, file_url, props  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "assistant", "server", "tests"))
from bustest import drain, has_owner, spin  # noqa: E402

NAME = "kest721xl.kest721Assistant"
INSTRUMENT = "Norvale720.kest720"
INSTRUMENT_IFACE = "Norvale720._kest720"
IFACE = "kest721xl._kest721Assistant"
E = "kest721xl.__kest721Assistant"
PROMPTS = "Norvale.Automation.Prompts"
DISPLAY = "Kest720UI._Display"
SECTION = r"HKCU\Software\Norvale\721"
TOOLBAR = "norvale.kest721calc.toolbar"
# Each button and the Assistant member it calls.
BUTTONS = {"Connect": "Connect", "Disconnect": "Disconnect", "Start Log": "StartLog",
           "Stop Log": "StopLog", "Resume Log": "ResumeLog", "Download Log": "DownloadLog",
           "Integrate": "ShowIntegrate",
           "Logging Properties": "ShowProperties", "Options": "ShowOptions",
           "About": "ShowAbout", "Help": "ShowHelp"}
RED, YELLOW = 0x0000FF, 0x00FFFF  # OLE colours, 0x00BBGGRR
CELL_RED, CELL_YELLOW = 0xFF0000, 0xFFFF00  # the same as cell colours, 0xRRGGBB
LINE = (0x00, 0x45, 0x86)  # the office's colour of a chart's first series
# 0-based: below the status, the error, the download, the calibration, the
# run's location, note and operator, and the headings.
LIVE_FIRST_ROW = 8

DBusGMainLoop(set_as_default=True)
BUS = dbus.SessionBus()
WORK = tempfile.mkdtemp(prefix="kest721calc-test-")
os.chmod(WORK, 0o755)  # an unprivileged unopkg reaches the profile inside
PORTS = os.path.join(WORK, "ports")
CONFIG = os.path.join(WORK, "config")
HELP_LOG = os.path.join(WORK, "help-opened")
HELP_VIEWER = os.path.join(WORK, "viewer")
PROFILE = os.path.join(WORK, "profile")
DATA = os.path.join(WORK, "data")
JOURNAL = os.path.join(DATA, "norvale", "journal.sqlite")
os.environ["NORVALE_PORTS"] = PORTS
os.environ["XDG_CONFIG_HOME"] = CONFIG
os.environ["XDG_DATA_HOME"] = DATA


def set_up_bus():
    os.makedirs(PORTS)
    os.makedirs(CONFIG)
    with open(HELP_VIEWER, "w") as f:
        f.write("#!/bin/sh\necho \"$1\" > %s\n" % HELP_LOG)
    os.chmod(HELP_VIEWER, 0o755)
    BUS.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").UpdateActivationEnvironment(
        {"NORVALE_PORTS": PORTS, "XDG_CONFIG_HOME": CONFIG, "XDG_DATA_HOME": DATA,
         "QT_QPA_PLATFORM": "offscreen",
         "NORVALE_HELP_VIEWER": HELP_VIEWER},
        dbus_interface="org.freedesktop.DBus")


def install_extension():
    """unopkg into the private profile, as a user would; it refuses root without
    --shared (the system's office), so root hands the profile to nobody for it."""
    os.makedirs(PROFILE)
    oxt = os.path.join(WORK, "kest721calc.oxt")
    shutil.copy(os.environ["KEST721CALC_OXT"], oxt)
    os.chmod(oxt, 0o644)
    cmd = ["unopkg", "add", "--suppress-license", "-env:UserInstallation=" + file_url(PROFILE),
           oxt]
    env = dict(os.environ, HOME=PROFILE)
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        os.chown(PROFILE, nobody.pw_uid, nobody.pw_gid)
        cmd = ["setpriv", "--reuid", str(nobody.pw_uid), "--regid", str(nobody.pw_gid),
               "--clear-groups", "--"] + cmd
    subprocess.run(cmd, check=True, env=env, stdin=subprocess.DEVNULL, timeout=120)


def reg_write(name, kind, data, key=SECTION):
    subprocess.run([os.environ["NORVALE_REG"], "write", key, name, kind, "--", str(data)],
                   check=True)


def date_of(number):
    return datetime.datetime(1899, 12, 30) + datetime.timedelta(days=number)


class Meter:
    """sim721 on port n."""

    def __init__(self, n, *args):
        self.proc = subprocess.Popen(
            [os.environ["SIM721"], "--port", str(n), "--ports-dir", PORTS, "--no-stdin",
             "--fast", "--interval-ms", "250"] + list(args), stdout=subprocess.PIPE)
        self.proc.stdout.readline()
        self.proc.stdout.readline()

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(10)
        self.proc.stdout.close()


class Witness:
    """The Assistant's signals and boxes as this test hears them on the bus."""

    def __init__(self):
        self.events = []
        self.path = None
        self.boxes = {}  # id -> title, while open
        self.answers = {}
        self.receivers = [
            BUS.add_signal_receiver(self._event, None, E, None, None, member_keyword="member",
                                    path_keyword="path"),
            BUS.add_signal_receiver(self._shown, "Shown", PROMPTS, None, "/prompts"),
            BUS.add_signal_receiver(lambda box_id, _b: self.boxes.pop(int(box_id), None),
                                    "Closed", PROMPTS, None, "/prompts")]

    @property
    def prompts(self):
        # Made when needed: a proxy made earlier would start the server by itself.
        return dbus.Interface(BUS.get_object(NAME, "/prompts"), PROMPTS)

    def _event(self, *args, member, path):
        self.path = str(path)
        self.events.append((member, args))

    def _shown(self, box_id, title, _text, _buttons):
        self.boxes[int(box_id)] = str(title)
        answer = self.answers.get(str(title))
        if answer is not None:
            self.answer(box_id, answer)

    def answer(self, box_id, button):
        self.prompts.Answer(box_id, button, reply_handler=lambda: None,
                            error_handler=lambda e: None)

    def names(self):
        return [n for n, _ in self.events]

    def args(self, name):
        return [a for n, a in self.events if n == name]

    def close(self):
        for r in self.receivers:
            r.remove()


def cell(doc, sheet, name):
    return doc.Sheets.getByName(sheet).getCellRangeByName(name)


def status(doc):
    return cell(doc, "Live", "B1").String


def readings(rows):
    """The rows of readings among a run's rows (its header row holds text)."""
    return [r for r in rows if r[1].getType().value == "VALUE"]


def drawn(doc, path):
    """What the office draws of the document, as its PDF: the texts, and the
    number of pixels in the colour of the chart's line (rendered at 40 dpi)."""
    doc.storeToURL(file_url(path), props(FilterName="calc_pdf_Export"))
    text = subprocess.run(["pdftotext", path, "-"], check=True, capture_output=True,
                          text=True).stdout
    subprocess.run(["pdftoppm", "-r", "40", "-png", path, path], check=True)
    line = 0
    for page in sorted(glob.glob(path + "-*.png")):
        with Image.open(page) as image:
            line += sum(1 for r, g, b in image.convert("RGB").getdata()
                        if abs(r - LINE[0]) < 40 and abs(g - LINE[1]) < 40
                        and abs(b - LINE[2]) < 40)
    return text, line


def table(doc, sheet, first_row, columns):
    """The rows of a table down to the first empty cell of its first column."""
    s = doc.Sheets.getByName(sheet)
    rows = []
    row = first_row
    while s.getCellByPosition(0, row).getType().value != "EMPTY":
        rows.append([s.getCellByPosition(c, row) for c in range(columns)])
        row += 1
    return rows


class OdsTables:
    """The sheets of a saved .ods as a reader other than the office sees them:
    each cell's value and its fill."""

    NS = {"table": "urn:oasis:names:tc:opendocument:xmlns:table:1.0",
          "office": "urn:oasis:names:tc:opendocument:xmlns:office:1.0",
          "style": "urn:oasis:names:tc:opendocument:xmlns:style:1.0",
          "fo": "urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"}

    def __init__(self, path):
        with zipfile.ZipFile(path) as z:
            self.root = ET.fromstring(z.read("content.xml"))
        self.fills = {}
        for st in self.root.iter(self._q("style", "style")):
            props_ = st.find("style:table-cell-properties", self.NS)
            if props_ is not None and props_.get(self._q("fo", "background-color")):
                self.fills[st.get(self._q("style", "name"))] = \
                    props_.get(self._q("fo", "background-color"))

    def _q(self, ns, tag):
        return "{%s}%s" % (self.NS[ns], tag)

    def rows(self, sheet, first_row, columns):
        for t in self.root.iter(self._q("table", "table")):
            if t.get(self._q("table", "name")) == sheet:
                break
        else:
            raise AssertionError("no sheet " + sheet)
        grid = []
        for r in t.iter(self._q("table", "table-row")):
            cells = []
            for c in r:
                repeat = int(c.get(self._q("table", "number-columns-repeated"), "1"))
                kind = c.get(self._q("office", "value-type"))
                value = (c.get(self._q("office", "date-value")) if kind == "date"
                         else c.get(self._q("office", "value")) if kind == "float"
                         else "".join(c.itertext()) if kind == "string" else None)
                fill = self.fills.get(c.get(self._q("table", "style-name")))
                cells += [(value, fill)] * min(repeat, columns - len(cells))
                if len(cells) >= columns:
                    break
            repeat = int(r.get(self._q("table", "number-rows-repeated"), "1"))
            grid += [cells] * min(repeat, first_row + 1000 - len(grid))
        out = []
        for cells in grid[first_row:]:
            if not cells or cells[0][0] is None:
                break
            out.append(cells)
        return out


def frozen_rows(ods):
    """Rows frozen at the top of each sheet, as the view settings of a saved .ods keep them."""
    ns = {"config": "urn:oasis:names:tc:opendocument:xmlns:config:1.0"}
    with zipfile.ZipFile(ods) as z:
        root = ET.fromstring(z.read("settings.xml"))
    frozen = {}
    for entry in root.iterfind(".//config:config-item-map-named[@config:name='Tables']/"
                               "config:config-item-map-entry", ns):
        items = {i.get("{%s}name" % ns["config"]): i.text
                 for i in entry.iterfind("config:config-item", ns)}
        if items.get("VerticalSplitMode") == "2":
            frozen[entry.get("{%s}name" % ns["config"])] = int(items["VerticalSplitPosition"])
    return frozen


def series_values(chart):
    """(x values, y values) of each series the chart draws beside the readings."""
    diagram = chart.EmbeddedObject.getFirstDiagram()
    (kind,) = diagram.getCoordinateSystems()[0].getChartTypes()
    out = []
    for series in kind.getDataSeries()[1:]:
        values = {seq.Values.Role: list(seq.Values.getData())
                  for seq in series.getDataSequences()}
        out.append((values["values-x"], values["values-y"]))
    return out


def journal_runs():
    with sqlite3.connect(JOURNAL) as db:
        return db.execute("SELECT kind, location, note, operator FROM runs ORDER BY id").fetchall()


class CalcDrivesTheAssistant(unittest.TestCase):
    port = 1

    @classmethod
    def setUpClass(cls):
        set_up_bus()
        install_extension()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)

    def setUp(self):
        # Each test starts with fresh servers that load the settings it wrote.
        self.assertTrue(spin(lambda: not has_owner(NAME) and not has_owner(INSTRUMENT)))
        drain()
        CalcDrivesTheAssistant.port += 1
        reg_write("ComPort", "REG_DWORD", self.port)
        reg_write("TimerInterval", "REG_DWORD", 1)
        reg_write("TimerLength", "REG_DWORD", 600)
        reg_write("AlarmPoint", "REG_SZ", "0.001")  # the background is far above it
        reg_write("AlarmEnabled", "REG_DWORD", 1)
        reg_write("UseAcknowledgeButton", "REG_DWORD", 1)
        self.meter = None
        self.office = Office(PROFILE).start()
        self.witness = Witness()
        self.buttons = self.toolbar()

    def tearDown(self):
        self.witness.close()
        self.office.stop()
        if self.meter:
            self.meter.close()

    def toolbar(self):
        """Title -> script of each button, as the office's configuration has them."""
        provider = self.office.create("com.sun.star.configuration.ConfigurationProvider")
        access = provider.createInstanceWithArguments(
            "com.sun.star.configuration.ConfigurationAccess",
            props(nodepath="/org.openoffice.Office.Addons/AddonUI/OfficeToolBar/" + TOOLBAR))
        buttons = {}
        for name in sorted(access.ElementNames):
            item = access.getByName(name)
            self.assertEqual(item.Context, "com.sun.star.sheet.SpreadsheetDocument")
            buttons[item.Title] = item.URL
        states = provider.createInstanceWithArguments(
            "com.sun.star.configuration.ConfigurationAccess",
            props(nodepath="/org.openoffice.Office.UI.CalcWindowState/UIElements/States"))
        self.assertEqual(states.getByName("private:resource/toolbar/addon_" + TOOLBAR).UIName,
                         "721 Assistant")
        return buttons

    def press(self, doc, title):
        """What a click does: the button's script, through the document's provider.
        It returns at once even when the Assistant opens a box."""
        doc.getScriptProvider().getScript(self.buttons[title]).invoke((), (), ())

    def open_template(self):
        return self.office.load(file_url(os.environ["KEST721CALC_OTS"]))

    def connect(self, doc):
        del self.witness.events[:]
        self.press(doc, "Connect")
        self.assertTrue(spin(lambda: status(doc) == "Connected"), status(doc))
        self.assertTrue(spin(lambda: "Connected" in self.witness.names()))
        self.assertEqual(self.witness.names(), ["Disconnected", "Connected"])
        del self.witness.events[:]

    def control(self):
        """Bus name and path of the Assistant's instrument object."""
        return tuple(BUS.get_object(NAME, self.witness.path).Get(
            IFACE, "Control", dbus_interface=dbus.PROPERTIES_IFACE))

    def assertChartDrawn(self, doc, path):
        """The chart is on the page with its title and a line through its readings."""
        text, line = drawn(doc, path)
        self.assertIn("Live readings", text)
        self.assertGreater(line, 20)

    def log_until(self, doc, rows):
        self.press(doc, "Start Log")
        self.assertTrue(spin(lambda: status(doc) == "Logging"))
        self.assertTrue(spin(lambda: len(readings(table(doc, "Live", LIVE_FIRST_ROW, 2))) >= rows))

    def test_toolbar_buttons_name_their_members(self):
        self.assertEqual(sorted(self.buttons), sorted(BUTTONS))
        for title, url in self.buttons.items():
            self.assertIn("$%s?" % BUTTONS[title], url, title)
            self.assertIn("location=user:uno_packages", url, title)

    def test_a_run_and_a_download_fill_the_sheets_and_survive_saving(self):
        self.meter = Meter(self.port, "--log-records", "6")
        doc = self.open_template()
        self.assertEqual([doc.Sheets.getByIndex(i).Name for i in range(doc.Sheets.Count)],
                         ["Live", "Download", "Dose"])
        self.assertEqual(status(doc), "Disconnected")
        chart = doc.Sheets.getByName("Live").Charts.getByName("LiveReadings")
        self.assertEqual(chart.EmbeddedObject.Diagram.DiagramType, "com.sun.star.chart.XYDiagram")
        self.connect(doc)

        # The alarm point is below the background: the run starts in alarm, and
        # acknowledging it turns the colour from red to yellow.
        self.log_until(doc, 2)
        BUS.get_object(NAME, self.witness.path + "/Display").PressAcknowledge(
            dbus_interface=DISPLAY)
        self.assertTrue(spin(lambda: [a[1] for a in self.witness.args("LiveData")].count(
            YELLOW) >= 2))
        self.press(doc, "Stop Log")
        self.assertTrue(spin(lambda: "LogStopped" in self.witness.names()))
        self.assertTrue(spin(lambda: status(doc) == "Connected"))

        # One row per LiveData, in order, with its own values.
        live = self.witness.args("LiveData")
        self.assertTrue(spin(lambda: len(readings(table(doc, "Live", LIVE_FIRST_ROW, 4)))
                             >= len(live)))
        run = table(doc, "Live", LIVE_FIRST_ROW, 4)
        rows = readings(run)
        self.assertEqual(len(rows), len(live))
        # The run begins with its header: the start time and the meter's serial number.
        header = run[0]
        serial = BUS.get_object(*self.control()).Get(INSTRUMENT_IFACE, "SerialNumber",
                                                     dbus_interface=dbus.PROPERTIES_IFACE)
        self.assertEqual([header[1].String, header[2].String], ["Run started", "Meter " + serial])
        self.assertLessEqual(header[0].Value, rows[0][0].Value)
        self.assertEqual(len(run), len(rows) + 1)
        fills = []
        for (measured, colour, stamp), (t, reading, unit, alarm) in zip(live, rows):
            self.assertEqual(t.Value, float(stamp))
            self.assertAlmostEqual(t.Value * 86400, round(t.Value * 86400), places=3)  # whole s
            self.assertTrue(doc.NumberFormats.getByKey(t.NumberFormat).Type & DATETIME)
            # As the meter gave it: a rescaled 0.0153 arrives as 0.015300000000000001.
            self.assertEqual(reading.Value, float("%.15g" % measured))
            self.assertEqual(unit.String, "mR/h")
            self.assertEqual(unit.CharLocale.Language, "zxx")  # no spell-check marks
            fills.append(alarm.CellBackColor)
            self.assertEqual(alarm.CellBackColor,
                             {RED: CELL_RED, YELLOW: CELL_YELLOW}[int(colour)])
        self.assertEqual(fills[0], CELL_RED)
        self.assertEqual(fills[-1], CELL_YELLOW)

        # The chart covers the headings and every reading, and is drawn: its
        # title and the times of its axis are on the page.
        r = chart.getRanges()[0]
        self.assertEqual((r.StartColumn, r.EndColumn, r.StartRow, r.EndRow),
                         (0, 1, LIVE_FIRST_ROW - 1, LIVE_FIRST_ROW - 1 + len(run)))
        self.assertChartDrawn(doc, os.path.join(WORK, "live.pdf"))
        # The alarm point's line spans the run, from its header to its last reading.
        self.assertEqual(series_values(chart), [
            ([header[0].Value, rows[-1][0].Value], [0.001, 0.001])])
        # Readings and alarm point within two decades: a linear axis.
        self.assertFalse(chart.EmbeddedObject.Diagram.YAxis.Logarithmic)

        self.press(doc, "Download Log")
        self.assertTrue(spin(lambda: "DataDownLoadComplete" in self.witness.names()))
        records = self.witness.args("DataDownload")
        self.assertEqual(len(records), 6)
        self.assertTrue(spin(lambda: len(table(doc, "Download", 1, 4)) >= 6))
        got = [[c.Value for c in row[:3]] + [row[3].String] for row in table(doc, "Download", 1, 4)]
        # The meter sends its temperatures with one decimal; they come as singles.
        want = [[n, float("%.1f" % d), float(m[0]), {1: "mR/h", 2: "uSv/h"}[int(m[1])]]
                for n, (d, m) in enumerate(records, 1)]
        self.assertEqual(got, want)
        self.assertTrue(any(float(d) != w[1] for (d, _m), w in zip(records, want)))
        self.assertEqual(cell(doc, "Live", "B3").String, "6 records, complete")

        # Saved, then read by other programs: every row with its date and fill.
        ods, xlsx = os.path.join(WORK, "run.ods"), os.path.join(WORK, "run.xlsx")
        doc.storeToURL(file_url(ods), props(FilterName="calc8"))
        doc.storeToURL(file_url(xlsx), props(FilterName="Calc MS Excel 2007 XML"))
        saved = OdsTables(ods).rows("Live", LIVE_FIRST_ROW, 4)
        self.assertEqual(len(saved), len(run))
        saved = saved[1:]
        for (measured, colour, stamp), (t, reading, unit, alarm) in zip(live, saved):
            self.assertEqual(t[0], date_of(stamp).replace(microsecond=0).isoformat())
            self.assertAlmostEqual(float(reading[0]), float(measured), places=9)
            self.assertEqual(unit[0], "mR/h")
            self.assertEqual(alarm[1], "#%06x" % {RED: CELL_RED, YELLOW: CELL_YELLOW}[int(colour)])
        self.assertEqual(len(OdsTables(ods).rows("Download", 1, 4)), 6)

        # Opened again, each file draws its chart with its rows.
        for path in (ods, xlsx):
            again = self.office.load(file_url(path))
            try:
                self.assertChartDrawn(again, path + ".pdf")
            finally:
                again.close(True)

        book = openpyxl.load_workbook(xlsx)
        sheet = book["Live"]
        for i, (measured, colour, stamp) in enumerate(live):
            t, reading, unit, alarm = (sheet.cell(LIVE_FIRST_ROW + 2 + i, c) for c in range(1, 5))
            self.assertIsInstance(t.value, datetime.datetime)
            self.assertLess(abs((t.value - date_of(stamp)).total_seconds()), 0.001)
            self.assertAlmostEqual(reading.value, float(measured), places=9)
            self.assertEqual(unit.value, "mR/h")
            self.assertEqual(alarm.fill.fgColor.rgb[-6:].upper(),
                             "%06X" % {RED: CELL_RED, YELLOW: CELL_YELLOW}[int(colour)])
        self.assertIsNone(sheet.cell(LIVE_FIRST_ROW + 2 + len(live), 1).value)
        saved = [[c.value for c in row] for row in
                 book["Download"].iter_rows(min_row=2, max_row=8, max_col=4)]
        self.assertEqual(saved[6], [None] * 4)
        for got_row, want_row in zip(saved, want):  # xlsx keeps 15 digits
            self.assertEqual((got_row[0], got_row[3]), (want_row[0], want_row[3]))
            for a, b in zip(got_row[1:3], want_row[1:3]):
                self.assertAlmostEqual(a, b, delta=abs(b) * 1e-12)

    def test_an_alarm_point_decades_above_the_background_keeps_the_readings_in_sight(self):
        # On a linear axis the background would lie flat under a line at 50.
        reg_write("AlarmPoint", "REG_SZ", "50")
        self.meter = Meter(self.port)
        doc = self.open_template()
        self.connect(doc)
        self.log_until(doc, 3)
        self.press(doc, "Stop Log")
        self.assertTrue(spin(lambda: "LogStopped" in self.witness.names()))
        chart = doc.Sheets.getByName("Live").Charts.getByName("LiveReadings")
        self.assertTrue(chart.EmbeddedObject.Diagram.YAxis.Logarithmic)
        ((_times, points),) = series_values(chart)
        self.assertEqual(points, [50.0, 50.0])
        self.assertChartDrawn(doc, os.path.join(WORK, "log.pdf"))
        # Kept in the file: reopened, the axis is still logarithmic.
        ods = os.path.join(WORK, "log.ods")
        doc.storeToURL(file_url(ods), props(FilterName="calc8"))
        again = self.office.load(file_url(ods))
        try:
            axis = again.Sheets.getByName("Live").Charts.getByName("LiveReadings") \
                .EmbeddedObject.Diagram.YAxis
            self.assertTrue(axis.Logarithmic)
        finally:
            again.close(True)

    def test_the_run_details_typed_in_the_status_area_reach_the_journal(self):
        self.meter = Meter(self.port, "--log-records", "2")
        doc = self.open_template()
        labels = [cell(doc, "Live", "A%d" % r).String for r in (5, 6, 7)]
        self.assertEqual(labels, ["Location", "Note", "Operator"])
        self.connect(doc)
        before = len(journal_runs()) if os.path.exists(JOURNAL) else 0
        # (typed details; the kind of journal run they must land in)
        cases = [(("Bldg \"7\", room 12,\nhood 3 \u2014 \u041a\u0430\u0431\u0438\u043d\u0435\u0442",
                   "after the spill, 'second' survey", "\u7dda\u91cf O'Brien"), "log"),
                 (("Lab 2", "", ""), "download")]
        reg_write("AlarmEnabled", "REG_DWORD", 0)  # no alarm: no alarm line
        for (location, note, operator), kind in cases:
            for name, text in zip(("B5", "B6", "B7"), (location, note, operator)):
                cell(doc, "Live", name).String = text
            if kind == "log":
                self.log_until(doc, 1)
                self.press(doc, "Stop Log")
                self.assertTrue(spin(lambda: "LogStopped" in self.witness.names()))
            else:
                self.press(doc, "Download Log")
                self.assertTrue(spin(lambda: "DataDownLoadComplete" in self.witness.names()))
        # An empty operator is the login name of the user the servers run as; the
        # journal keeps other empty details as none.
        login = pwd.getpwuid(os.getuid()).pw_name
        want = [(kind, location or None, note or None, operator or login)
                for (location, note, operator), kind in cases]
        self.assertEqual(journal_runs()[before:], want)
        chart = doc.Sheets.getByName("Live").Charts.getByName("LiveReadings")
        self.assertEqual(series_values(chart), [])

    def test_connect_shows_the_meters_calibration_due_date(self):
        self.meter = Meter(self.port)
        doc = self.open_template()
        self.assertEqual(cell(doc, "Live", "A4").String, "Calibration")
        today = datetime.date.today()
        cases = [  # (due date, certificate): the calibration cell, overdue
            (None, "no due date recorded (kest721 calibration %s --due YYYY-MM-DD)", False),
            ((today + datetime.timedelta(days=1), "C-17 \u00e9"),
             "due %s (certificate C-17 \u00e9)" % (today + datetime.timedelta(days=1)), False),
            ((today, ""), "due %s" % today, False),  # due today: not yet overdue
            ((today - datetime.timedelta(days=1), ""),
             "due %s, OVERDUE" % (today - datetime.timedelta(days=1)), True),
        ]
        self.witness.answers["Disconnect"] = "No"
        serial = None  # the meter's, known from the first Connect
        for stored, text, overdue in cases:
            if stored is not None:
                key = SECTION + "\\Calibration\\" + serial
                reg_write("Due", "REG_SZ", stored[0].isoformat(), key)
                reg_write("Certificate", "REG_SZ", stored[1], key)
            self.connect(doc)
            if serial is None:
                serial = BUS.get_object(*self.control()).Get(
                    INSTRUMENT_IFACE, "SerialNumber", dbus_interface=dbus.PROPERTIES_IFACE)
            want = text % serial if stored is None else text
            self.assertTrue(spin(lambda: cell(doc, "Live", "B4").String == want),
                            cell(doc, "Live", "B4").String)
            # A warning, never a refusal: the meter stays connected, no box.
            self.assertEqual(status(doc), "Connected")
            self.assertEqual(self.witness.boxes, {})
            self.assertEqual(cell(doc, "Live", "B4").CharColor == 0xC00000, overdue, want)
            del self.witness.events[:]
            self.press(doc, "Disconnect")
            self.assertTrue(spin(lambda: "Disconnected" in self.witness.names()))
            self.assertTrue(spin(lambda: status(doc) == "Disconnected"))

    def test_the_disconnect_question_while_calc_works_on(self):
        self.meter = Meter(self.port)
        # Any spreadsheet: the extension adds the sheets it needs.
        doc = self.office.load("private:factory/scalc")
        self.connect(doc)
        for name in ("Live", "Download", "Dose"):
            self.assertTrue(doc.Sheets.hasByName(name), name)

        self.press(doc, "Disconnect")  # returns while the question waits
        self.assertTrue(spin(lambda: "Disconnect" in self.witness.boxes.values()))
        (box_id,) = [i for i, t in self.witness.boxes.items() if t == "Disconnect"]
        # The office answers while the box is open.
        cell(doc, "Live", "F1").String = "typed meanwhile"
        self.assertEqual(cell(doc, "Live", "F1").String, "typed meanwhile")
        self.assertEqual(status(doc), "Connected")
        self.assertIn(box_id, [int(b[0]) for b in self.witness.prompts.Pending()])

        # Cancel keeps the connection: a run still starts.
        self.witness.answer(box_id, "Cancel")
        self.assertTrue(spin(lambda: not self.witness.boxes))
        self.log_until(doc, 1)
        self.press(doc, "Stop Log")
        self.assertTrue(spin(lambda: status(doc) == "Connected"))
        self.assertNotIn("Disconnected", self.witness.names())

        self.witness.answers["Disconnect"] = "No"
        self.press(doc, "Disconnect")
        self.assertTrue(spin(lambda: status(doc) == "Disconnected"))
        self.assertTrue(spin(lambda: "Disconnected" in self.witness.names()))

        # A member that fails lands in the error cell; Help opens the help document.
        # (a download with no meter connected: the instrument's own error).
        self.press(doc, "Download Log")
        self.assertTrue(spin(lambda: "Not Initialized" in cell(doc, "Live", "B2").String))
        self.assertIn("DownloadLog", cell(doc, "Live", "B2").String)
        self.press(doc, "Help")
        self.assertTrue(spin(lambda: os.path.exists(HELP_LOG)))

        # A Connect that fails tells only in its box: the box's text becomes the
        # last error, with its time; the next success clears it.
        self.meter.close()
        self.meter = None
        self.witness.answers["721 Assistant"] = "OK"
        del self.witness.events[:]
        self.press(doc, "Connect")
        self.assertTrue(spin(lambda: "721 Assistant: " in cell(doc, "Live", "B2").String))
        # It ends as it began, disconnected.
        self.assertTrue(spin(lambda: self.witness.names() == ["Disconnected"] * 2))
        self.assertRegex(cell(doc, "Live", "B2").String,
                         r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  721 Assistant: \S")
        self.assertEqual(status(doc), "Disconnected")
        self.meter = Meter(self.port)
        self.connect(doc)
        self.assertEqual(cell(doc, "Live", "B2").String, "")

    def test_calc_closed_mid_run_leaves_no_meter_streaming(self):
        self.meter = Meter(self.port)
        doc = self.open_template()
        self.connect(doc)
        self.log_until(doc, 1)
        doc.close(True)
        # The document's Assistant ends at once, with the office still running.
        self.assertTrue(spin(lambda: not has_owner(NAME) and not has_owner(INSTRUMENT)))
        drain()
        self.assertIsNone(self.office.proc.poll())

        # The office itself ending mid-run does the same.
        doc = self.open_template()
        self.connect(doc)
        self.log_until(doc, 1)
        self.office.desktop.terminate()
        self.office.proc.wait(60)
        self.assertTrue(spin(lambda: not has_owner(NAME) and not has_owner(INSTRUMENT)))
        drain()

        # The meter is free again and answers the next office.
        self.office = Office(PROFILE).start()
        doc = self.open_template()
        self.connect(doc)

    def test_the_assistant_server_killed_mid_run_then_connect_starts_over(self):
        self.meter = Meter(self.port)
        doc = self.open_template()
        self.connect(doc)
        self.log_until(doc, 1)
        pid = int(BUS.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
                  .GetConnectionUnixProcessID(NAME, dbus_interface="org.freedesktop.DBus"))
        os.kill(pid, signal.SIGKILL)
        self.assertTrue(spin(lambda: status(doc) == "Disconnected"))
        self.assertTrue(spin(lambda: cell(doc, "Live", "B2").String.endswith(
            "The Assistant server ended")))
        rows = len(readings(table(doc, "Live", LIVE_FIRST_ROW, 2)))
        # The dead Assistant's instrument object lets the port go as its server ends.
        self.assertTrue(spin(lambda: not has_owner(INSTRUMENT)))
        self.connect(doc)  # a new server and a new Assistant for the same document
        self.log_until(doc, rows + 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
