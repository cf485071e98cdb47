"""The sheets the Assistant fills, on any spreadsheet document.

Everything here runs on the office's main thread (or over a remote bridge when
the template is made): it touches the document only, never the bus.
"""
import datetime

import uno
from com.sun.star.lang import Locale
from com.sun.star.table import CellRangeAddress

LIVE, DOWNLOAD, DOSE = "Live", "Download", "Dose"
CHART = "LiveReadings"
# Live: status and last error above the table, so a person sees both at once.
STATUS_CELL, ERROR_CELL = "B1", "B2"
LIVE_HEADER_ROW = 3  # 0-based row of the Live table's headings
HEADINGS = {
    LIVE: ("Time", "Reading", "Unit", "Alarm"),
    DOWNLOAD: ("Record", "\u00b0C", "Reading", "Unit"),
    DOSE: ("Time", "Dose", "Average dose rate"),
}
HEADER_ROW = {LIVE: LIVE_HEADER_ROW, DOWNLOAD: 0, DOSE: 0}
DATE_FORMAT = "YYYY-MM-DD HH:MM:SS"
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


class Workbook:
    """The Live, Download and Dose sheets of one document, added where missing."""

    def __init__(self, doc):
        self.doc = doc
        self.prepare()
        self.live_rows = self._used_rows(LIVE)
        self.dose_rows = self._used_rows(DOSE)
        self.download_rows = self._used_rows(DOWNLOAD)
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
        if not live.getCellRangeByName(STATUS_CELL).String:
            live.getCellRangeByName(STATUS_CELL).String = "Disconnected"
        date_key = self.date_format()
        for name in (LIVE, DOSE):
            sheet = sheets.getByName(name)
            col = sheet.Columns.getByIndex(0)
            col.NumberFormat = date_key
            col.Width = 4200
            sheet.getCellByPosition(0, HEADER_ROW[name]).NumberFormat = 0
        if not live.Charts.hasByName(CHART):
            rect = uno.createUnoStruct("com.sun.star.awt.Rectangle")
            rect.X, rect.Y, rect.Width, rect.Height = 13000, 1000, 16000, 9000
            live.Charts.addNewByName(CHART, rect, (self.chart_range(0),), True, True)
            chart = live.Charts.getByName(CHART).EmbeddedObject
            chart.Diagram = chart.createInstance("com.sun.star.chart.LineDiagram")
            chart.HasLegend = False
            chart.HasMainTitle = True
            chart.Title.String = "Live readings"

    def date_format(self):
        formats = self.doc.NumberFormats
        key = formats.queryKey(DATE_FORMAT, FORMAT_LOCALE, False)
        if key < 0:
            key = formats.addNew(DATE_FORMAT, FORMAT_LOCALE)
        return key

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

    # -- status --------------------------------------------------------------

    def set_status(self, text):
        self.sheet(LIVE).getCellRangeByName(STATUS_CELL).String = text

    def status(self):
        return self.sheet(LIVE).getCellRangeByName(STATUS_CELL).String

    def set_error(self, text):
        self.sheet(LIVE).getCellRangeByName(ERROR_CELL).String = text

    # -- rows ----------------------------------------------------------------

    def add_live(self, measured, alarm_colour, stamp, unit):
        sheet = self.sheet(LIVE)
        row = HEADER_ROW[LIVE] + 1 + self.live_rows
        sheet.getCellByPosition(0, row).Value = stamp + self.date_offset
        sheet.getCellByPosition(1, row).Value = measured
        sheet.getCellByPosition(2, row).String = unit
        sheet.getCellByPosition(3, row).CellBackColor = fill_colour(alarm_colour)
        self.live_rows += 1

    def grow_chart(self):
        charts = self.sheet(LIVE).Charts
        if charts.hasByName(CHART):
            charts.getByName(CHART).setRanges((self.chart_range(self.live_rows),))

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
        sheet.getCellByPosition(1, row).Value = degrees_c
        sheet.getCellByPosition(2, row).Value = value
        sheet.getCellByPosition(3, row).String = unit

    def add_dose(self, dose, average_rate):
        sheet = self.sheet(DOSE)
        self.dose_rows += 1
        row = HEADER_ROW[DOSE] + self.dose_rows
        sheet.getCellByPosition(0, row).Value = now_as_date_number() + self.date_offset
        sheet.getCellByPosition(1, row).Value = dose
        sheet.getCellByPosition(2, row).Value = average_rate

