#!/usr/bin/python3
"""The dialogs of the real kest721xl as a person or a screen reader uses them:
through the accessibility tree (AT-SPI), finding each control by its role and
accessible name, typing, pressing buttons and answering the modal boxes by
their button texts; then what reached the meter and the settings store.

Run by atspi_run.sh (Xvfb outermost, then a private session bus that
activates the build tree's servers). Environment: SIM721 and NORVALE_REG name
the programs.
"""
import os
import re
import signal
import subprocess
import tempfile
import time
import unittest

import dbus
import pyatspi
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "kest721xl.kest721Assistant"
I = "kest721xl._kest721Assistant"
K = "Norvale720._kest720"
PROMPTS = "Norvale.Automation.Prompts"
P = "org.freedesktop.DBus.Properties"
FACTORY = "Norvale.Automation.ClassFactory"
SECTION = r"HKCU\Software\Norvale\721"

DBusGMainLoop(set_as_default=True)
BUS = dbus.SessionBus()
WORK = tempfile.mkdtemp(prefix="kest721xl-atspi-")
PORTS = os.path.join(WORK, "ports")
CONFIG = os.path.join(WORK, "config")
os.makedirs(PORTS)
os.makedirs(CONFIG)
os.environ["NORVALE_PORTS"] = PORTS
os.environ["XDG_CONFIG_HOME"] = CONFIG
BUS.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus").UpdateActivationEnvironment(
    {"NORVALE_PORTS": PORTS, "XDG_CONFIG_HOME": CONFIG}, dbus_interface="org.freedesktop.DBus")


def spin(cond, limit=60.0):
    """Runs the main loop until cond() holds; False after a limit far beyond any
    expected wait (a fault, not a measure of speed)."""
    ctx = GLib.MainContext.default()
    end = time.monotonic() + limit
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() > end:
            return None
        ctx.iteration(False)
        time.sleep(0.02)


def reg_read(name):
    """A REG_DWORD value as its decimal text ("" when absent)."""
    out = subprocess.run([os.environ["NORVALE_REG"], "read", SECTION, name],
                         capture_output=True, text=True, env=os.environ)
    found = re.search(r"\((-?\d+)\)\s*$", out.stdout.strip())
    return found.group(1) if found else ""


def reg_write(name, kind, data):
    subprocess.run([os.environ["NORVALE_REG"], "write", SECTION, name, kind, "--", str(data)],
                   check=True, env=os.environ)


def walk(acc, depth=0):
    if acc is None or depth > 40:
        return
    yield acc
    for i in range(acc.childCount):
        try:
            child = acc.getChildAtIndex(i)
        except Exception:
            continue
        yield from walk(child, depth + 1)


def application():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == "kest721xl":
            return app
    return None


def find_any(roles, name, root=None, limit=20):
    """The first showing accessible of one of `roles` named `name`, waited for."""
    def look():
        base = root or application()
        if base is None:
            return None
        for acc in walk(base):
            try:
                if acc.getRoleName() in roles and acc.name == name and \
                        acc.getState().contains(pyatspi.STATE_SHOWING):
                    return acc
            except Exception:
                continue
        return None
    acc = spin(look, limit)
    assert acc is not None, "no %s named %r" % ("/".join(roles), name)
    return acc


def find(role, name, root=None, limit=20):
    return find_any((role,), name, root, limit)


def press(acc):
    action = acc.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    for wanted in ("Press", "press", "click", "Toggle", "toggle"):
        if wanted in names:
            action.doAction(names.index(wanted))
            return
    action.doAction(0)


def type_into(acc, text):
    acc.queryEditableText().setTextContents(text)


def text_of(acc):
    t = acc.queryText()
    return t.getText(0, t.characterCount)


class Meter:
    def __init__(self, n):
        self.proc = subprocess.Popen(
            [os.environ["SIM721"], "--port", str(n), "--ports-dir", PORTS, "--no-stdin",
             "--fast"], stdout=subprocess.PIPE)
        self.proc.stdout.readline()
        self.proc.stdout.readline()

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(10)


class DialogsByAccessibility(unittest.TestCase):
    def setUp(self):
        reg_write("ComPort", "REG_DWORD", 2)
        self.meter = Meter(2)
        self.path = BUS.get_object(NAME, "/").CreateInstance(dbus_interface=FACTORY)
        self.obj = BUS.get_object(NAME, self.path)
        self.boxes = []
        self.receiver = BUS.add_signal_receiver(
            lambda i, title, text, buttons: self.boxes.append((str(title), str(text))),
            "Shown", PROMPTS, None, "/prompts")

    def tearDown(self):
        self.receiver.remove()
        try:
            self.obj.Release(dbus_interface="Norvale.Automation.Object")
        except dbus.DBusException:
            pass
        self.meter.close()

    def call(self, member):
        result = {}
        getattr(self.obj, member)(dbus_interface=I, timeout=1e6,
                                  reply_handler=lambda *a: result.setdefault("ok", a),
                                  error_handler=lambda e: result.setdefault("error", e))
        self.assertTrue(spin(lambda: result, 90), member)
        if "error" in result:
            raise result["error"]

    def answer_box(self, text, button):
        """A person reads the box and presses its button."""
        self.assertTrue(spin(lambda: any(t == text for _, t in self.boxes), 20), text)
        box = find_any(("alert", "dialog"), "721 Assistant")
        press(find("push button", button, box))
        self.assertTrue(spin(lambda: not box.getState().contains(pyatspi.STATE_SHOWING), 20))
        del self.boxes[:]

    def control(self):
        service, path = self.obj.Get(I, "Control", dbus_interface=P)
        return BUS.get_object(str(service), str(path))

    def test_options_and_logging_properties_by_their_names(self):
        # Connect: the meter is not yet initialised, so no question comes first.
        self.call("Connect")
        self.assertTrue(self.obj.Get(I, "Initialized", dbus_interface=P))

        # The options: the meter's data-log interval, once refused, then applied.
        self.call("ShowOptions")
        options = find("dialog", "Norvale 721 Assistant for Excel Options")
        # A page tab is chosen by its action (the tab list offers no selection).
        settings_tab = find("page tab", "721 Settings", options)
        press(settings_tab)
        interval = find("text", "Data log interval (1 to 255)", options)
        type_into(interval, "300")
        press(find("push button", "Apply", options))
        self.answer_box("The data log interval must be a whole number from 1 to 255.", "OK")
        self.assertNotEqual(int(self.control().Get(K, "SampleRate", dbus_interface=P)), 300)
        type_into(interval, "12")
        press(find("push button", "Apply", options))
        self.assertTrue(spin(lambda: int(self.control().Get(K, "SampleRate",
                                                            dbus_interface=P)) == 12, 20))
        # An Assistant setting on the other tab, kept in the store at once.
        general_tab = settings_tab.parent.getChildAtIndex(0)
        self.assertEqual(general_tab.name, "General")
        press(general_tab)
        sound = find("check box", "Play alarm sound", options)
        was_checked = sound.getState().contains(pyatspi.STATE_CHECKED)
        press(sound)
        press(find("push button", "OK", options))
        self.assertTrue(spin(lambda: reg_read("PlayAlarmSound") == ("0" if was_checked else "1"),
                             20), reg_read("PlayAlarmSound"))

        # The logging properties: a refusal, then 20 seconds for 2 minutes.
        self.call("ShowProperties")
        props = find("dialog", "Computer Data Logging Properties")
        rate = find("text", "Sample Every", props)
        length = find("text", "for", props)
        type_into(rate, "0")
        press(find("push button", "OK", props))
        self.answer_box("Cannot enter a value less than 1.", "OK")
        type_into(rate, "20")
        type_into(length, "2")
        press(find("push button", "OK", props))
        self.assertTrue(spin(lambda: reg_read("TimerInterval") == "20", 20),
                        reg_read("TimerInterval"))
        self.assertEqual(reg_read("TimerLength"), "120")

        # About shows the meter's serial number.
        self.call("ShowAbout")
        about = find("dialog", "About Norvale 721 Assistant for Excel")
        find("label", "1234", about)
        press(find("push button", "OK", about))

    def test_the_dose_windows_button_is_named_as_it_reads(self):
        self.call("Connect")
        shown = {}
        self.obj.ShowIntegrate(dbus_interface=I, timeout=1e6,
                               reply_handler=lambda *a: shown.setdefault("ok", a),
                               error_handler=lambda e: shown.setdefault("error", e))
        setup = find("dialog", "721 Integrated Dose Measurement")
        timer = find("check box", "Use the timer to determine when to stop.", setup)
        if timer.getState().contains(pyatspi.STATE_CHECKED):
            press(timer)
        press(find("push button", "Start", setup))
        progress = find_any(("dialog", "frame", "window"), "Integrating Dose")
        # During the 30-second wait the button cancels, and is heard as it reads.
        find("push button", "Cancel", progress)
        button = find("push button", "Stop", progress, limit=90)
        press(button)
        self.assertTrue(spin(lambda: not progress.getState().contains(pyatspi.STATE_SHOWING),
                             30))
        self.assertTrue(spin(lambda: shown, 30))
        self.assertNotIn("error", shown)


if __name__ == "__main__":
    unittest.main(verbosity=2)
