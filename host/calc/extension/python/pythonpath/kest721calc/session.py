"""One Assistant per spreadsheet document, driven over the session bus.

Threads: the bus runs in a daemon thread of its own with its own GLib main
context, because a desktop office owns the default context. The bus thread
never touches a document: it hands every change to the office's main thread
through com.sun.star.awt.AsyncCallback. Nothing here blocks the main thread:
members that may open one of the Assistant's modal boxes are called without a
time-out and answered whenever the box is answered.
"""
import collections
import threading
import traceback

import unohelper
from com.sun.star.awt import XCallback
from com.sun.star.document import XDocumentEventListener
from com.sun.star.frame import XTerminateListener
from gi.repository import Gio, GLib

from .workbook import Workbook, now_as_date_number, unit_text

NAME = "kest721xl.kest721Assistant"
IFACE = "kest721xl._kest721Assistant"
HOUSE = "Norvale.Assistant"
EVENTS = "kest721xl.__kest721Assistant"
PROMPTS = "Norvale.Automation.Prompts"
FACTORY = "Norvale.Automation.ClassFactory"
OBJECT = "Norvale.Automation.Object"
PROPS = "org.freedesktop.DBus.Properties"
INSTRUMENT = "Norvale720._kest720"
NO_TIMEOUT = GLib.MAXINT

MEMBERS = ("Connect", "Disconnect", "StartLog", "StopLog", "DownloadLog", "ShowIntegrate",
           "ShowProperties", "ShowOptions", "ShowAbout", "ShowHelp")
# Members of the Assistant's house interface, beside its default one.
HOUSE_MEMBERS = ("ResumeLog",)

# The status cell's texts.
CONNECTED, DISCONNECTED, LOGGING = "Connected", "Disconnected", "Logging"
LINK_LOST = "Connection lost"
LINK_LOST_ERROR = ("LiveDataError: the meter stopped sending readings. Resume Log continues "
                   "the run once it is back; Stop Log ends the run.")


def _log(text):
    # The office has no console of ours; stderr reaches a terminal or the test's log.
    import sys
    print("kest721calc: " + text, file=sys.stderr, flush=True)


def describe(error):
    """'description (number)' from the Assistant's error, else GLib's message."""
    if Gio.DBusError.is_remote_error(error):
        name = Gio.DBusError.get_remote_error(error)
        Gio.DBusError.strip_remote_error(error)
        if name == "Norvale.Automation.Error":
            parts = error.message.split("\n", 2)
            if len(parts) == 3:
                return "%s (%s)" % (parts[2], parts[0])
    return error.message


class MainThread(unohelper.Base, XCallback):
    """Runs queued functions on the office's main thread, several per callback."""

    def __init__(self, ctx):
        self.callback = ctx.ServiceManager.createInstanceWithContext(
            "com.sun.star.awt.AsyncCallback", ctx)
        self.lock = threading.Lock()
        self.queue = collections.deque()
        self.scheduled = False

    def post(self, fn):
        with self.lock:
            self.queue.append(fn)
            if self.scheduled:
                return
            self.scheduled = True
        self.callback.addCallback(self, None)

    def notify(self, _data):
        with self.lock:
            work = list(self.queue)
            self.queue.clear()
            self.scheduled = False
        for fn in work:
            try:
                fn()
            except Exception:
                _log(traceback.format_exc())


class Bus:
    """A private session-bus connection served by a GLib loop in a daemon thread.

    Private, so that the Assistants this office created end with it when the
    office ends, whatever state it ends in.
    """

    def __init__(self):
        self.context = GLib.MainContext.new()
        self.connection = None
        self.error = None
        started = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(started,), daemon=True,
                                       name="kest721calc-bus")
        self.thread.start()
        started.wait()

    def _run(self, started):
        self.context.push_thread_default()
        loop = GLib.MainLoop.new(self.context, False)
        try:
            address = Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None)
            self.connection = Gio.DBusConnection.new_for_address_sync(
                address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        except GLib.Error as e:
            self.error = e.message
        started.set()
        loop.run()

    def run(self, fn, *args):
        """Runs fn(*args) on the bus thread, where every callback of the connection runs."""

        def once(*_):
            try:
                fn(*args)
            except Exception:
                _log(traceback.format_exc())
            return False

        source = GLib.idle_source_new()
        source.set_callback(once)
        source.attach(self.context)

    def call(self, path, iface, member, args, done, service=NAME):
        """An asynchronous call; done(result or None, error text or None) on the bus thread."""

        def finished(conn, res, _data):
            try:
                result = conn.call_finish(res)
            except GLib.Error as e:
                done(None, describe(e))
                return
            done(result.unpack(), None)

        self.connection.call(service, path, iface, member, args, None, Gio.DBusCallFlags.NONE,
                             NO_TIMEOUT, None, finished, None)


class Session(unohelper.Base, XDocumentEventListener):
    """The Assistant of one document, its events turned into rows and the status cell."""

    def __init__(self, registry, doc):
        self.registry = registry
        self.bus = registry.bus
        self.ui = registry.ui
        self.doc = doc
        self.book = Workbook(doc)
        self.path = None  # bus thread only, as are the fields below
        self.creating = False
        self.waiting = []
        self.subscription = None
        self.owner_watch = None
        self.prompts = None
        self.unit = ""
        self.serial = ""
        self.connected = False
        self.link_lost = False  # a run's meter fell silent and has not come back
        self.in_flight = 0  # this document's calls still waiting for their reply
        self.downloaded = 0
        self.ended = False
        doc.addDocumentEventListener(self)

    # -- from the toolbar (any thread) ----------------------------------------

    def press(self, member):
        self.bus.run(self._call, member)

    # -- bus thread -------------------------------------------------------------

    def _call(self, member):
        if self.ended:
            return
        if self.bus.connection is None:
            self._error("%s: no session bus (%s)" % (member, self.bus.error))
            return
        if self.path is None:
            self.waiting.append(member)
            self._create()
            return
        book = self.book
        if member == "DownloadLog":
            self.downloaded = 0
            self._ui(lambda: (book.clear_download(), book.set_download_progress("Starting")))
        self.in_flight += 1

        def done(_result, error):
            self.in_flight -= 1
            if error:
                self._error("%s: %s" % (member, error))
            elif member == "ResumeLog":
                self._resumed()

        self.bus.call(self.path, HOUSE if member in HOUSE_MEMBERS else IFACE, member, None, done)

    def _resumed(self):
        self.link_lost = False
        self._ui(lambda: (self.book.set_status(LOGGING), self.book.set_error("")))

    def _create(self):
        if self.creating:
            return
        self.creating = True

        def created(result, error):
            self.creating = False
            if error:
                del self.waiting[:]
                self._error("The Assistant could not be created: " + error)
                return
            self.path = result[0]
            if self.ended:  # the document closed while the Assistant was being made
                self._release()
                return
            self.subscription = self.bus.connection.signal_subscribe(
                None, EVENTS, None, self.path, None, Gio.DBusSignalFlags.NONE, self._signal,
                None)
            self.owner_watch = self.bus.connection.signal_subscribe(
                "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                "/org/freedesktop/DBus", NAME, Gio.DBusSignalFlags.NONE, self._owner_changed,
                None)
            self.prompts = self.bus.connection.signal_subscribe(
                None, PROMPTS, "Shown", "/prompts", None, Gio.DBusSignalFlags.NONE,
                self._box_shown, None)
            waiting, self.waiting = self.waiting, []
            for member in waiting:
                self._call(member)

        self.bus.call("/", FACTORY, "CreateInstance", None, created)

    def _signal(self, _conn, _sender, _path, _iface, name, params, _data):
        args = params.unpack()
        book = self.book
        if name == "LiveData":
            measured, colour, stamp = args
            unit = self.unit
            back = self.link_lost  # readings again: the link came back by itself
            self.link_lost = False

            def row():
                book.add_live(measured, colour, stamp, unit)
                book.refresh_chart()
                if back:
                    book.set_status(LOGGING)
                    book.set_error("")

            self._ui(row)
        elif name == "DataDownload":
            degrees, (value, unit_system, _prefix, _label) = args
            self.downloaded += 1
            progress = "%d records so far" % self.downloaded
            self._ui(lambda: (book.add_download(degrees, value, unit_text(unit_system)),
                              book.set_download_progress(progress)))
        elif name == "DataDownLoadComplete":
            progress = "%d records, complete" % self.downloaded
            self._ui(lambda: (book.set_download_progress(progress), book.set_error("")))
        elif name == "DoseRate":
            self._ui(lambda: (book.add_dose(*args), book.set_error("")))
        elif name == "Connected":
            self.connected = True
            self.link_lost = False
            self._read_instrument()
            self._ui(lambda: (book.set_status(CONNECTED), book.set_error("")))
        elif name == "Disconnected":
            self.connected = False
            self.link_lost = False
            self._ui(lambda: book.set_status(DISCONNECTED))
        elif name == "LogStarted":
            self.link_lost = False
            stamp = now_as_date_number()
            self._read_instrument(lambda serial: self._ui(lambda: book.set_run_serial(serial)))
            serial = self.serial
            self._ui(lambda: (book.refresh_chart(True), book.add_run_header(stamp, serial),
                              book.set_status(LOGGING), book.set_error("")))
        elif name == "LogStopped":
            self._ui(lambda: book.refresh_chart(True))
            self._show_connection()
        elif name == "LiveDataError":
            self.link_lost = True
            self._ui(lambda: (book.refresh_chart(True), book.set_status(LINK_LOST)))
            self._error(LINK_LOST_ERROR)
        elif name == "DataDownloadError":
            progress = "failed after %d records" % self.downloaded
            self._ui(lambda: book.set_download_progress(progress))
            self._error("DataDownloadError: the log download failed")

    def _show_connection(self):
        """After a run, the status the Assistant reports: it no longer counts the
        meter as initialised once a run lost its link, until Connect finds it."""

        def got(result, error):
            if error or not self.connected:
                status = DISCONNECTED
            elif result[0]:
                status = CONNECTED
            else:
                status = LINK_LOST
            self._ui(lambda: self.book.set_status(status))

        self.bus.call(self.path, PROPS, "Get", GLib.Variant("(ss)", (IFACE, "Initialized")), got)

    def _box_shown(self, _conn, _sender, _path, _iface, _name, params, _data):
        """A box with only OK tells of a failure (a Connect that could not reach the
        meter says so only in its box): the latest becomes the last error. Boxes
        while none of this document's calls waits are another document's."""
        _id, title, text, buttons = params.unpack()
        if list(buttons) != ["OK"] or not self.in_flight:
            return
        self._error("%s: %s" % (title, " ".join(text.split())))

    def _owner_changed(self, _conn, _sender, _path, _iface, _name, params, _data):
        """The server ended under us: the next press makes a new Assistant."""
        _name, _old, new = params.unpack()
        if new or self.path is None:
            return
        self._unsubscribe()
        self.path = None
        self.connected = False
        self._ui(lambda: self.book.set_status(DISCONNECTED))
        self._error("The Assistant server ended")

    def _read_instrument(self, then=None):
        """The instrument's unit system names the unit of the Live readings; its
        serial number goes into each run's header row (then(serial))."""

        def got_serial(result, error):
            if not error:
                self.serial = result[0]
            if then:
                then(self.serial)

        def got_units(result, error):
            if not error:
                self.unit = unit_text(result[0])

        def got_control(result, error):
            if error:
                if then:
                    then(self.serial)
                return
            service, path = result[0]
            for name, handler in (("Units", got_units), ("SerialNumber", got_serial)):
                self.bus.call(path, PROPS, "Get", GLib.Variant("(ss)", (INSTRUMENT, name)),
                              handler, service=service)

        self.bus.call(self.path, PROPS, "Get", GLib.Variant("(ss)", (IFACE, "Control")),
                      got_control)

    def _error(self, text):
        self._ui(lambda: self.book.set_error(text))

    def _ui(self, fn):
        def guarded():
            if not self.ended:
                fn()

        self.ui.post(guarded)

    def _unsubscribe(self):
        for sub in (self.subscription, self.owner_watch, self.prompts):
            if sub is not None:
                self.bus.connection.signal_unsubscribe(sub)
        self.subscription = self.owner_watch = self.prompts = None

    def _release(self):
        """Ends the Assistant: it stops a run and the meter's stream and closes the port."""
        self._unsubscribe()
        if self.path is not None:
            path, self.path = self.path, None
            self.bus.call(path, OBJECT, "Release", None, lambda *_: None)

    def _end(self):
        self.ended = True
        del self.waiting[:]
        self._release()

    # -- document events (main thread) --------------------------------------------

    def documentEventOccured(self, event):
        # Not at OnPrepareUnload: the person may still cancel the close (the
        # question whether to save comes after it), and the run must go on.
        if event.EventName == "OnUnload":
            self.end()

    def disposing(self, _source):
        self.end()

    def end(self):
        if self.registry.forget(self):
            self.ended = True  # queued cell writes are dropped from now on
            self.bus.run(self._end)


class Registry(unohelper.Base, XTerminateListener):
    """The sessions of one office process, by document."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.bus = Bus()
        self.ui = MainThread(ctx)
        self.lock = threading.Lock()
        self.sessions = []
        desktop = ctx.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", ctx)
        desktop.addTerminateListener(self)

    def session(self, doc):
        with self.lock:
            for s in self.sessions:
                if s.doc == doc:
                    return s
        s = Session(self, doc)
        with self.lock:
            self.sessions.append(s)
        return s

    def forget(self, session):
        with self.lock:
            if session in self.sessions:
                self.sessions.remove(session)
                return True
        return False

    def queryTermination(self, _event):
        pass

    def notifyTermination(self, _event):
        # Releasing here spares each Assistant the wait for the connection to drop.
        for s in list(self.sessions):
            s.end()
        done = threading.Event()
        self.bus.run(lambda: (self.bus.connection and self.bus.connection.flush_sync(None),
                              done.set()))
        done.wait(5)

    def disposing(self, _source):
        pass


_registry = None
_registry_lock = threading.Lock()


def registry(ctx):
    global _registry
    with _registry_lock:
        if _registry is None:
            _registry = Registry(ctx)
        return _registry
