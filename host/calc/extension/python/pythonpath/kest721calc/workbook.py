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
# The alarm point's line on the chart: its two ends (time, alarm point) in
# cells out of the way of the table and of the status texts' overflow.
ALARM_LINE_CELLS = "AA1:AB2"
ALARM_LINE_X, ALARM_LINE_Y = "$Live.$AA$1:$AA$2", "$Live.$AB$1:$AB$2"
ALARM_LINE_COLOUR = 0xFF0000
# Live: status, last error, download progress and the meter's calibration
# above the table, so a person sees them at once; below them where, why and by
# whom the next run is made, which the person types in.
STATUS_LABELS = ("Status", "Last error", "Download", "Calibration", "Location", "Note",
                 "Operator")
STATUS_CELL, ERROR_CELL, DOWNLOAD_CELL, CALIBRATION_CELL = "B1", "B2", "B3", "B4"
RUN_INFO_CELLS = ("B5", "B6", "B7")  # Location, Note, Operator
OVERDUE_COLOUR = 0xC00000  # a warning's dark red
LIVE_HEADER_ROW = len(STATUS_LABELS)  # 0-based row of the Live table's headings
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
# Background readings beside an alarm point a few decades up lie flat on the
# floor of a linear axis: past this ratio of largest to smallest the reading
# axis is logarithmic, as in the run's report.
LOG_AXIS_SPAN = 100.0
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


def wants_log_axis(low, high):
    """Whether readings from low to high (the smallest above zero and the
    largest, the alarm point among them) need a logarithmic axis. A reading of
    zero has no place on such an axis and is left out of the line."""
    return low is not None and high is not None and 0 < low and high / low > LOG_AXIS_SPAN


def rows_pane(controller):
    """The part of the view whose rows scroll: below the frozen rows, whichever
    part holds the cursor (the view's own scrolling follows the cursor's part)."""
    panes = [controller.getByIndex(i) for i in range(controller.Count)]
    return max(panes, key=lambda p: p.getVisibleRange().EndRow) if panes else controller


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
        self.alarm_point = None  # of the running run, while its alarm is enabled
        # The smallest reading above zero and the largest in the Live table.
        self.reading_low, self.reading_high = self._reading_bounds()
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
        for row, label in enumerate(STATUS_LABELS):
            live.getCellByPosition(0, row).String = label
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
            # Below the frozen status area, so that the freeze does not cut it in two.
            top = live.getCellByPosition(0, LIVE_HEADER_ROW + 1).Position.Y
            rect.X, rect.Y, rect.Width, rect.Height = 13000, top + 500, 16000, 9000
            live.Charts.addNewByName(CHART, rect, (self.chart_range(0),), True, False)
        self.shape_chart()
        self.freeze_headings()

    def freeze_headings(self):
        """The status area and the headings stay in view while the rows scroll,
        so a lost link shows where the person looks. The office freezes only the
        sheet in view: each sheet is shown in turn, then the person's own again."""
        controller = self.doc.CurrentController
        if controller is None or not hasattr(controller, "freezeAtPosition"):
            return
        sheets = self.doc.Sheets
        shown = controller.ActiveSheet
        for name in (LIVE, DOWNLOAD, DOSE):
            controller.setActiveSheet(sheets.getByName(name))
            if not controller.hasFrozenPanes():
                controller.setFirstVisibleRow(0)  # the office freezes at the view's top
                controller.freezeAtPosition(0, HEADER_ROW[name] + 1)
        controller.setActiveSheet(shown)

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

    def _reading_bounds(self):
        if not self.live_rows:
            return None, None
        first = HEADER_ROW[LIVE] + 1
        column = self.sheet(LIVE).getCellRangeByPosition(1, first, 1, first + self.live_rows - 1)
        # A run's header holds text there; the data array gives it as a string.
        values = [v for (v,) in column.getDataArray() if isinstance(v, float)]
        positive = [v for v in values if v > 0]
        return (min(positive) if positive else None), (max(values) if values else None)

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

    def set_calibration(self, text, overdue):
        cell = self.sheet(LIVE).getCellRangeByName(CALIBRATION_CELL)
        cell.String = text
        cell.CharLocale = NO_LANGUAGE  # dates and commands are no words
        cell.CharColor = OVERDUE_COLOUR if overdue else -1  # -1: the automatic colour
        cell.CharWeight = 150.0 if overdue else 100.0

    def calibration(self):
        return self.sheet(LIVE).getCellRangeByName(CALIBRATION_CELL).String

    def run_info(self):
        """Location, note and operator as the person typed them."""
        live = self.sheet(LIVE)
        return tuple(live.getCellRangeByName(name).String for name in RUN_INFO_CELLS)

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
        value = number_value(measured)
        sheet.getCellByPosition(1, row).Value = value
        if value > 0 and (self.reading_low is None or value < self.reading_low):
            self.reading_low = value
        if self.reading_high is None or value > self.reading_high:
            self.reading_high = value
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
        pane = rows_pane(controller)
        seen = pane.getVisibleRange()
        if not seen.StartRow <= row - 1 <= seen.EndRow:
            return
        if row >= seen.EndRow:  # the last row in view may be cut by the window's edge
            pane.setFirstVisibleRow(seen.StartRow + row - seen.EndRow + 1)

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
        self.draw_alarm_line(chart.EmbeddedObject)
        self.scale_reading_axis(chart.EmbeddedObject)
        self.chart_rows = self.live_rows
        done = time.monotonic()
        self.chart_due = done + max(CHART_INTERVAL, CHART_SHARE * (done - now))

    def set_alarm_point(self, value):
        """The alarm point of the run that starts, None while its alarm is disabled."""
        self.alarm_point = value
        if value is None:
            self.sheet(LIVE).getCellRangeByName(ALARM_LINE_CELLS).clearContents(1 | 2 | 4)

    def draw_alarm_line(self, chart):
        """The alarm point as a horizontal line from the run's start to its newest
        row: a second series over two cells."""
        kind = chart.getFirstDiagram().getCoordinateSystems()[0].getChartTypes()[0]
        for old in kind.getDataSeries()[1:]:  # one line, however often it is drawn
            kind.removeDataSeries(old)
        if self.alarm_point is None or self.run_header is None:
            return
        sheet = self.sheet(LIVE)
        first = sheet.getCellByPosition(0, self.run_header).Value
        last = sheet.getCellByPosition(0, HEADER_ROW[LIVE] + self.live_rows).Value
        ends = sheet.getCellRangeByName(ALARM_LINE_CELLS)
        ends.setDataArray(((first, self.alarm_point), (max(last, first), self.alarm_point)))
        provider = chart.getDataProvider()
        smgr = uno.getComponentContext().ServiceManager
        data = []
        for rep, role in ((ALARM_LINE_X, "values-x"), (ALARM_LINE_Y, "values-y")):
            seq = provider.createDataSequenceByRangeRepresentation(rep)
            seq.Role = role
            labeled = smgr.createInstance("com.sun.star.chart2.data.LabeledDataSequence")
            labeled.setValues(seq)
            data.append(labeled)
        series = smgr.createInstance("com.sun.star.chart2.DataSeries")
        series.setData(tuple(data))
        series.Color = ALARM_LINE_COLOUR
        series.LineWidth = 50
        kind.addDataSeries(series)

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

    def scale_reading_axis(self, chart):
        low, high = self.reading_low, self.reading_high
        if self.alarm_point is not None and self.run_header is not None:
            point = float(self.alarm_point)
            high = point if high is None else max(high, point)
            if point > 0:
                low = point if low is None else min(low, point)
        log = wants_log_axis(low, high)
        axis = chart.Diagram.YAxis
        if bool(axis.Logarithmic) != log:
            axis.Logarithmic = log

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
