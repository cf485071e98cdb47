"""The "721 Assistant" toolbar: each function calls the Assistant member of its name
for the spreadsheet it was pressed in (the Assistant is created at the first press)."""
import uno  # noqa: F401  (makes the office's types importable)

from kest721calc import session


def _document():
    """The document of the press; a hidden document (an unattended run) gives the
    script no document, so take the one spreadsheet the office has open."""
    doc = XSCRIPTCONTEXT.getDocument()  # noqa: F821  (set by the script provider)
    if doc is not None and doc.supportsService("com.sun.star.sheet.SpreadsheetDocument"):
        return doc
    desktop = XSCRIPTCONTEXT.getDesktop()  # noqa: F821
    current = desktop.getCurrentComponent()
    if current is not None and current.supportsService("com.sun.star.sheet.SpreadsheetDocument"):
        return current
    components = desktop.Components.createEnumeration()
    while components.hasMoreElements():
        c = components.nextElement()
        if c.supportsService("com.sun.star.sheet.SpreadsheetDocument"):
            return c
    return None


def _press(member):
    doc = _document()
    if doc is None:
        return
    ctx = XSCRIPTCONTEXT.getComponentContext()  # noqa: F821
    session.registry(ctx).session(doc).press(member)


def Connect(*_args):
    _press("Connect")


def Disconnect(*_args):
    _press("Disconnect")


def StartLog(*_args):
    _press("StartLog")


def StopLog(*_args):
    _press("StopLog")


def ResumeLog(*_args):
    _press("ResumeLog")


def DownloadLog(*_args):
    _press("DownloadLog")


def ShowIntegrate(*_args):
    _press("ShowIntegrate")


def ShowProperties(*_args):
    _press("ShowProperties")


def ShowOptions(*_args):
    _press("ShowOptions")


def ShowAbout(*_args):
    _press("ShowAbout")


def ShowHelp(*_args):
    _press("ShowHelp")


g_exportedScripts = (Connect, Disconnect, StartLog, StopLog, ResumeLog, DownloadLog,
                     ShowIntegrate, ShowProperties, ShowOptions, ShowAbout, ShowHelp)
