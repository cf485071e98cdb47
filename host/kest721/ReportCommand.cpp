#include "host/kest721/ReportCommand.h"

#include "assistant/Journal.h"
#include "platform/AutomationError.h"

#include <QFileInfo>
#include <QTextStream>
#include <cstring>

using norvale::assistant::Journal;
using norvale::platform::AutomationError;

namespace norvale::host
{

namespace
{
const QString program = QStringLiteral("kest721");

[[noreturn]] void fail(const QString &text)
{
    throw AutomationError(1, program, text);
}

// Opens the journal for reading; a missing one is not created.
std::unique_ptr<Journal> openJournal()
{
    const QString path = Journal::defaultPath();
    if (!QFileInfo::exists(path))
        fail(QStringLiteral("There is no journal yet (%1): no run has been kept.").arg(path));
    auto journal = std::make_unique<Journal>(path);
    if (!journal->isOpen())
        fail(QStringLiteral("The journal cannot be read (%1): %2").arg(path, journal->lastError()));
    return journal;
}
} // namespace

bool needsGui(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "report") == 0 || std::strcmp(argv[i], "--report") == 0)
            return true;
    return false;
}

qint64 newestJournalRun()
{
    if (!QFileInfo::exists(Journal::defaultPath()))
        return 0;
    Journal journal;
    qint64 newest = 0;
    for (const Journal::Run &r : journal.runs())
        newest = std::max(newest, r.id);
    return newest;
}

qint64 journalRunAfter(qint64 before, const QString &serialNumber)
{
    Journal journal;
    for (const Journal::Run &r : journal.runs())
        if (r.id > before && r.kind == Journal::Kind::Log && r.serialNumber == serialNumber)
            return r.id;
    return 0;
}

int runReport(const ReportRequest &request)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    std::unique_ptr<Journal> journal = openJournal();
    qint64 id = 0;
    if (request.run == u"latest") {
        for (const Journal::Run &r : journal->runs())
            id = std::max(id, r.id);
        if (id == 0)
            fail(QStringLiteral("The journal has no runs yet."));
    } else {
        id = request.run.toLongLong();
    }
    const std::optional<Journal::Run> run = journal->run(id);
    if (!run) {
        if (!journal->lastError().isEmpty())
            fail(QStringLiteral("The journal cannot be read: %1").arg(journal->lastError()));
        fail(QStringLiteral("The journal has no run %1 ('kest721 journal list' shows the runs).")
                 .arg(id));
    }
    ReportInput in;
    in.run = *run;
    in.rows = journal->rows(id);
    in.events = journal->events(id);
    in.calibration = norvale::assistant::storedCalibration(run->serialNumber);
    in.madeAt = QDateTime::currentDateTime();
    journal.reset();
    const ReportSummary summary = summarize(in.run, in.rows, in.events);

    if (reportSoFar(in))
        err << "kest721: run " << id << " has not ended: the report shows it so far, and says so\n";
    if (in.rows.isEmpty())
        err << "kest721: run " << id << " has no readings; the report says so\n";
    if (in.calibration && in.calibration->overdueOn(in.madeAt.date()))
        err << "kest721: warning: the meter (serial number " << run->serialNumber
            << ") was due for calibration on " << in.calibration->due.toString(Qt::ISODate) << '\n';
    err.flush();
    try {
        if (!request.pdf.isEmpty())
            writePdf(in, summary, request.paper.value_or(paperOfLocale(QLocale::system())),
                     request.pdf);
        if (!request.html.isEmpty())
            writeHtml(in, summary, request.html);
    } catch (const ReportError &e) {
        fail(QString::fromUtf8(e.what()));
    }
    if (request.pdf.isEmpty() && request.html.isEmpty()) {
        out << reportText(in, summary);
        out.flush();
    }
    return 0;
}

} // namespace norvale::host
