"""The sheets the Assistant fills, on any spreadsheet document.

Everything here runs on the office's main thread (or over a remote bridge when
the template is made): it touches the document only, never the bus.
"""
import datetime
import struct
import time

import uno
from com.sun.star.lang import Locale
from com.sun.star.table import CellRangeAddress

LIVE, DOWNLOAD, DOSE = "Live", "Download", "Dose"
CHART = "LiveReadings"
# Live: status, last error and download progress above the table, so a person
# sees them at once.
STATUS_CELL, ERROR_CELL, DOWNLOAD_CELL = "B1", "B2", "B3"
LIVE_HEADER_ROW = 3  # 0-based row of the Live table's headings
HEADINGS = {
    LIVE: ("Time", "Reading", "Unit", "Alarm"),
    DOWNLOAD: ("Record", "\u00b0C", "Reading", "Unit"),
    DOSE: ("Time", "Dose", "Average dose rate"),
}
HEADER_ROW = {LIVE: LIVE_HEADER_ROW, DOWNLOAD: 0, DOSE: 0}
DATE_FORMAT = "YYYY-MM-DD HH:MM:SS"
# The chart's time axis: seconds while a run is short, minutes, then days.
AXIS_FORMATS = ((120.0, "HH:MM:SS"), (86400.0, "HH:MM"), (None, "MM-DD HH:MM"))
# Steps of the time axis in seconds, the smallest giving at most AXIS_LABELS labels.
AXIS_STEPS = (1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600,
              43200, 86400, 172800, 604800)
AXIS_LABELS = 8
# The chart is redrawn from a growing range; its cost grows with the rows, so
# the rows reach it at most every CHART_INTERVAL seconds and never take more
# than 1/CHART_SHARE of the time.
CHART_INTERVAL = 2.0
CHART_SHARE = 20
# Units such as mR/h are no words: no spell-check marks under them.
NO_LANGUAGE = Locale("zxx", "", "")
# The format code is parsed in this locale whatever the office's own is.
FORMAT_LOCALE = Locale("en", "US", "")
NULL_DATE = datetime.date(1899, 12, 30)  # the day the Assistant's date numbers count from


def unit_text(unit_system):
    """The Assistant reports readings in mR/h for roentgen meters, uSv/h for sievert ones."""
    return {1: "mR/h", 2: "uSv/h"}.get(int(unit_system), "")


def fill_colour(ole_colour):
    """An OLE colour is 0x00BBGGRR; a cell's back colour is 0xRRGGBB."""
    c = int(ole_colour) & 0xFFFFFF
    return ((c & 0xFF) << 16) | (c & 0xFF00) | (c >> 16)


def now_as_date_number():
    delta = datetime.datetime.now() - datetime.datetime(1899, 12, 30)
    return round(delta.total_seconds()) / 86400.0


def number_value(value):
    """A number to the 15 significant digits a spreadsheet shows, so that a
    rescaled reading is 0.0153 in the file too, not 0.015300000000000001."""
    return float("%.15g" % value)


def single_value(value):
    """A value that travelled in single precision (the meter's temperature) as
    the shortest decimal of that single: 21.8, not 21.799999237060547."""
    try:
        single = struct.unpack("f", struct.pack("f", value))[0]
    except OverflowError:
        return number_value(value)
    if single != value:
        return number_value(value)
    for digits in range(1, 10):
        shortest = float("%.*g" % (digits, value))
        if struct.unpack("f", struct.pack("f", shortest))[0] == single:
            return shortest
    return value


def axis_step(span_seconds):
    """The step of the time axis, in days, for a run of that many seconds."""
    for step in AXIS_STEPS:
        if span_seconds / step <= AXIS_LABELS:
            return step / 86400.0
    return AXIS_STEPS[-1] / 86400.0


def axis_format(step_days):
    for below, code in AXIS_FORMATS:
        if below is None or step_days * 86400.0 < below:
            return code
    return AXIS_FORMATS[-1][1]


class Workbook:
    """The Live, Download and Dose sheets of one document, added where missing."""

    def __init__(self, doc):
        self.doc = doc
        self.prepare()
        self.live_rows = self._used_rows(LIVE)
        self.dose_rows = self._used_rows(DOSE)
        self.download_rows = self._used_rows(DOWNLOAD)
        self.chart_rows = self.live_rows  # rows the chart's range covers
        self.chart_due = 0.0  # monotonic time before which the chart keeps its range
        self.run_header = None  # row of the running run's header
        # A document whose dates count from another day still shows the right time.
        nd = doc.NullDate
        self.date_offset = float((NULL_DATE - datetime.date(nd.Year, nd.Month, nd.Day)).days)

    # -- layout ------------------------------------------------------------

    def prepare(self):
        sheets = self.doc.Sheets
        for name in (LIVE, DOWNLOAD, DOSE):
            if not sheets.hasByName(name):
                sheets.insertNewByName(name, sheets.Count)
            sheet = sheets.getByName(name)
            row = HEADER_ROW[name]
            for col, text in enumerate(HEADINGS[name]):
                cell = sheet.getCellByPosition(col, row)
                if cell.String != text:
                    cell.String = text
                    cell.CharWeight = 150.0  # bold
        live = sheets.getByName(LIVE)
        live.getCellRangeByName("A1").String = "Status"
        live.getCellRangeByName("A2").String = "Last error"
        live.getCellRangeByName("A3").String = "Download"
        if not live.getCellRangeByName(STATUS_CELL).String:
            live.getCellRangeByName(STATUS_CELL).String = "Disconnected"
        date_key = self.date_format()
        for name in (LIVE, DOSE):
            sheet = sheets.getByName(name)
            col = sheet.Columns.getByIndex(0)
            col.NumberFormat = date_key
            col.Width = 4200
            sheet.getCellByPosition(0, HEADER_ROW[name]).NumberFormat = 0
        for name, unit_column in ((LIVE, 2), (DOWNLOAD, 3)):
            self.sheets().getByName(name).Columns.getByIndex(unit_column).CharLocale = NO_LANGUAGE
        if not live.Charts.hasByName(CHART):
            rect = uno.createUnoStruct("com.sun.star.awt.Rectangle")
            rect.X, rect.Y, rect.Width, rect.Height = 13000, 1000, 16000, 9000
            live.Charts.addNewByName(CHART, rect, (self.chart_range(0),), True, False)
        self.shape_chart()

    def shape_chart(self):
        """Readings against their time on a time axis. A line chart would take the
        times as dates, and a date axis whose values all fall on one day draws
        nothing at all (not even its title); a scatter chart's x values are plain
        numbers, so it draws from the first reading and spaces the readings by
        their time, a gap in a run included."""
        chart = self.sheet(LIVE).Charts.getByName(CHART).EmbeddedObject
        if chart.Diagram.DiagramType != "com.sun.star.chart.XYDiagram":
            chart.Diagram = chart.createInstance("com.sun.star.chart.XYDiagram")
        diagram = chart.Diagram
        diagram.Lines = True
        diagram.SymbolType = -3  # none: a run of hours is a line, not a crowd of marks
        diagram.MissingValueTreatment = 0  # a gap: no line across a run's header row
        chart.HasLegend = False
        chart.HasMainTitle = True
        chart.Title.String = "Live readings"
        axis = diagram.XAxis
        axis.LinkNumberFormatToSource = False
        axis.NumberFormat = self.number_format(AXIS_FORMATS[0][1])
        diagram.HasYAxisTitle = True
        diagram.YAxisTitle.String = "Reading"

    def date_format(self):
        return self.number_format(DATE_FORMAT)

    def number_format(self, code):
        formats = self.doc.NumberFormats
        key = formats.queryKey(code, FORMAT_LOCALE, False)
        if key < 0:
            key = formats.addNew(code, FORMAT_LOCALE)
        return key

    def sheets(self):
        return self.doc.Sheets

    def chart_range(self, rows):
        """Headings and readings of the Live table: the chart grows with the run."""
        a = CellRangeAddress()
        a.Sheet = self.doc.Sheets.getByName(LIVE).RangeAddress.Sheet
        a.StartColumn, a.EndColumn = 0, 1
        a.StartRow = LIVE_HEADER_ROW
        a.EndRow = LIVE_HEADER_ROW + max(rows, 1)
        return a

    def _used_rows(self, name):
        """Rows already in a table, so that reopening a workbook appends below them."""
        sheet = self.doc.Sheets.getByName(name)
        row = HEADER_ROW[name] + 1
        while sheet.getCellByPosition(0, row).getType().value != "EMPTY":
            row += 1
        return row - HEADER_ROW[name] - 1

    def sheet(self, name):
        return self.doc.Sheets.getByName(name)

    # -- status ------------------------------------------------------------

    def set_status(self, text):
        self.sheet(LIVE).getCellRangeByName(STATUS_CELL).String = text

    def status(self):
        return self.sheet(LIVE).getCellRangeByName(STATUS_CELL).String

    def set_error(self, text, when=None):
        """The latest error with the time it came; an empty text clears it."""
        if text:
            when = when or datetime.datetime.now()
            text = "%s  %s" % (when.strftime("%Y-%m-%d %H:%M:%S"), text)
        self.sheet(LIVE).getCellRangeByName(ERROR_CELL).String = text

    def error(self):
        return self.sheet(LIVE).getCellRangeByName(ERROR_CELL).String

    def set_download_progress(self, text):
        self.sheet(LIVE).getCellRangeByName(DOWNLOAD_CELL).String = text

    # -- rows ----------------------------------------------------------------

    def add_run_header(self, stamp, serial):
        """The row that begins a run: its start time and the meter's serial number.
        Its reading cell holds text, so the chart's line breaks between runs."""
        sheet = self.sheet(LIVE)
        row = HEADER_ROW[LIVE] + 1 + self.live_rows
        sheet.getCellByPosition(0, row).Value = stamp + self.date_offset
        sheet.getCellByPosition(1, row).String = "Run started"
        self.run_header = row
        self.set_run_serial(serial)
        sheet.getCellRangeByPosition(0, row, 2, row).CharWeight = 150.0  # bold
        self.live_rows += 1
        self.follow(row)

    def set_run_serial(self, serial):
        if self.run_header is not None:
            self.sheet(LIVE).getCellByPosition(2, self.run_header).String = \
                "Meter %s" % serial if serial else "Meter"

    def add_live(self, measured, alarm_colour, stamp, unit):
        sheet = self.sheet(LIVE)
        row = HEADER_ROW[LIVE] + 1 + self.live_rows
        sheet.getCellByPosition(0, row).Value = stamp + self.date_offset
        sheet.getCellByPosition(1, row).Value = number_value(measured)
        sheet.getCellByPosition(2, row).String = unit
        sheet.getCellByPosition(3, row).CellBackColor = fill_colour(alarm_colour)
        self.live_rows += 1
        self.follow(row)

    def follow(self, row):
        """Keeps the newest row in sight while the person looks at the newest rows;
        once they scrolled elsewhere the view stays where they put it."""
        controller = self.doc.CurrentController
        if controller is None or not hasattr(controller, "getVisibleRange"):
            return
        if controller.ActiveSheet.Name != LIVE:
            return
        seen = controller.getVisibleRange()
        if not seen.StartRow <= row - 1 <= seen.EndRow:
            return
        if row >= seen.EndRow:  # the last row in view may be cut by the window's edge
            controller.setFirstVisibleRow(seen.StartRow + row - seen.EndRow + 1)

    def refresh_chart(self, force=False):
        """Lets the chart's range grow to the newest row: at once when forced (the
        run stopped or paused), else in batches."""
        if self.chart_rows == self.live_rows:
            return
        now = time.monotonic()
        if not force and now < self.chart_due:
            return
        charts = self.sheet(LIVE).Charts
        if not charts.hasByName(CHART):
            return
        chart = charts.getByName(CHART)
        chart.setRanges((self.chart_range(self.live_rows),))
        self.scale_time_axis(chart.EmbeddedObject)
        self.chart_rows = self.live_rows
        done = time.monotonic()
        self.chart_due = done + max(CHART_INTERVAL, CHART_SHARE * (done - now))

    def scale_time_axis(self, chart):
        """Labels at round steps of the run's span: whole seconds, minutes or hours."""
        sheet = self.sheet(LIVE)
        first_row = HEADER_ROW[LIVE] + 1
        last_row = first_row + self.live_rows - 1
        first = sheet.getCellByPosition(0, first_row).Value
        last = sheet.getCellByPosition(0, last_row).Value
        step = axis_step(max(last - first, 0.0) * 86400.0)
        axis = chart.Diagram.XAxis
        axis.AutoStepMain = False
        axis.StepMain = step
        axis.NumberFormat = self.number_format(axis_format(step))

    def clear_download(self):
        if self.download_rows:
            sheet = self.sheet(DOWNLOAD)
            first = HEADER_ROW[DOWNLOAD] + 1
            sheet.getCellRangeByPosition(0, first, 3, first + self.download_rows - 1) \
                .clearContents(1 | 2 | 4 | 16)  # values, dates, strings, formulas
        self.download_rows = 0

    def add_download(self, degrees_c, value, unit):
        sheet = self.sheet(DOWNLOAD)
        self.download_rows += 1
        row = HEADER_ROW[DOWNLOAD] + self.download_rows
        sheet.getCellByPosition(0, row).Value = self.download_rows
        sheet.getCellByPosition(1, row).Value = single_value(degrees_c)
        sheet.getCellByPosition(2, row).Value = number_value(value)
        sheet.getCellByPosition(3, row).String = unit

    def add_dose(self, dose, average_rate):
        sheet = self.sheet(DOSE)
        self.dose_rows += 1
        row = HEADER_ROW[DOSE] + self.dose_rows
        sheet.getCellByPosition(0, row).Value = now_as_date_number() + self.date_offset
        sheet.getCellByPosition(1, row).Value = number_value(dose)
        sheet.getCellByPosition(2, row).Value = number_value(average_rate)
