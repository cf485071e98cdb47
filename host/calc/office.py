"""A headless office of its own: a private profile, a pipe to drive it over UNO.

Used to make the workbook template at build time and by the tests. Needs the
system python3 with python3-uno.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import uuid

import uno
from com.sun.star.beans import PropertyValue
from com.sun.star.connection import NoConnectException


def props(**kw):
    out = []
    for k, v in kw.items():
        p = PropertyValue()
        p.Name, p.Value = k, v
        out.append(p)
    return tuple(out)


def file_url(path):
    return uno.systemPathToFileUrl(os.path.abspath(path))


class Office:
    """headless=False: the office on the display, as a person sees it (the tests
    at a real screen)."""

    def __init__(self, profile=None, headless=True):
        self.headless = headless
        self.own_profile = profile is None
        self.profile = profile or tempfile.mkdtemp(prefix="kest721calc-profile-")
        self.pipe = "kest721calc-" + uuid.uuid4().hex
        self.proc = None
        self.ctx = None
        self.desktop = None

    def start(self, limit=90.0):
        # Always the soffice wrapper: the bare binary fails on a new profile.
        mode = ["--headless", "--invisible"] if self.headless else []
        self.proc = subprocess.Popen(
            ["soffice"] + mode + ["--norestore", "--nodefault", "--nolockcheck",
                                  "-env:UserInstallation=" + file_url(self.profile),
                                  "--accept=pipe,name=%s;urp;StarOffice.ComponentContext"
                                  % self.pipe],
            stdin=subprocess.DEVNULL)
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext(
            "com.sun.star.bridge.UnoUrlResolver", local)
        end = time.monotonic() + limit
        while True:
            try:
                self.ctx = resolver.resolve(
                    "uno:pipe,name=%s;urp;StarOffice.ComponentContext" % self.pipe)
                break
            except NoConnectException:
                if self.proc.poll() is not None or time.monotonic() > end:
                    raise RuntimeError("the office did not start (status %s)" % self.proc.poll())
                time.sleep(0.1)
        self.desktop = self.ctx.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", self.ctx)
        return self

    def create(self, name, *args):
        return self.ctx.ServiceManager.createInstanceWithArgumentsAndContext(name, args, self.ctx) \
            if args else self.ctx.ServiceManager.createInstanceWithContext(name, self.ctx)

    def load(self, url, **kw):
        # OnLoad events do not fire for hidden documents; callers act themselves.
        return self.desktop.loadComponentFromURL(
            url, "_blank", 0, props(Hidden=self.headless, MacroExecutionMode=4, **kw))

    def kill(self):
        """Ends an office that no longer answers: the program and the wrapper."""
        if self.proc is None:
            return
        for entry in os.listdir("/proc"):
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            if parent == self.proc.pid:
                try:
                    os.kill(int(entry), signal.SIGKILL)
                except OSError:
                    pass
        self.proc.kill()
        self.proc.wait()
        self.proc = None

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self.desktop.terminate()
            except Exception:
                pass
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None
        if self.own_profile:
            shutil.rmtree(self.profile, ignore_errors=True)
