// The survey record of a long run: makes a journal with a run of N readings
// one second apart (a day by default: 86,400) through the Journal API, with
// alarm episodes and a lost link, then measures the journal's query of the
// run and `kest721 report RUN --pdf` as a user runs it (wall time, peak
// memory, size of the PDF), beside the goals.
//
//     build/bench/bench_report [--rows N] [--keep FOLDER]
#include "assistant/Journal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimeZone>
#include <cmath>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using norvale::assistant::Journal;

namespace
{

// Runs a program to its end; its wall time and CPU time in ms (the CPU time
// tells more on a machine that others share) and peak resident memory in kB.
int runMeasured(const QStringList &args, const QString &dataHome, double *ms, double *cpuMs,
                long *peakKb)
{
    QElapsedTimer t;
    t.start();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_DATA_HOME", dataHome.toLocal8Bit().constData(), 1);
        std::vector<QByteArray> owned;
        std::vector<char *> argv;
        for (const QString &a : args)
            owned.push_back(a.toLocal8Bit());
        for (QByteArray &a : owned)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    *ms = double(t.nsecsElapsed()) / 1e6;
    *peakKb = usage.ru_maxrss;
    *cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
             (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The survey record of a long run, measured."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("rows"), QStringLiteral("readings in the run (86400)"),
                      QStringLiteral("N"), QStringLiteral("86400")});
    parser.addOption({QStringLiteral("keep"),
                      QStringLiteral("make the journal and the PDF in FOLDER and keep them"),
                      QStringLiteral("FOLDER")});
    parser.addOption({QStringLiteral("kest721"), QStringLiteral("the program to measure"),
                      QStringLiteral("PATH"), QStringLiteral(KEST721_PROGRAM)});
    if (!parser.parse(QCoreApplication::arguments())) {
        QTextStream(stderr) << "bench_report: " << parser.errorText() << '\n';
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    bool ok = false;
    const int rows = parser.value(QStringLiteral("rows")).toInt(&ok);
    if (!ok || rows < 1) {
        QTextStream(stderr) << "bench_report: --rows needs a positive number\n";
        return 2;
    }
    QTemporaryDir scratch;
    const QString folder = parser.isSet(QStringLiteral("keep"))
                               ? parser.value(QStringLiteral("keep"))
                               : scratch.path();
    QDir().mkpath(folder);
    const QString dataHome = QDir(folder).absoluteFilePath(QStringLiteral("data"));
    const QString path = dataHome + QStringLiteral("/norvale/journal.sqlite");
    QFile::remove(path);

    // A day from 08:00 local: background near 0.1 mR/h with a daily swing,
    // an alarm episode every four hours, the link lost for five minutes at noon.
    const qint64 t0 =
        QDateTime(QDate(2026, 12, 7), QTime(8, 0), QTimeZone::systemTimeZone()).toMSecsSinceEpoch();
    qint64 run = 0;
    QElapsedTimer t;
    t.start();
    {
        Journal j(path);
        if (!j.isOpen()) {
            QTextStream(stderr) << "bench_report: " << j.lastError() << '\n';
            return 1;
        }
        Journal::RunInfo info;
        info.model = QStringLiteral("720K");
        info.units = QStringLiteral("mR/h");
        info.alarmPoint = QStringLiteral("2");
        info.alarmEnabled = true;
        info.intervalSeconds = 1;
        info.lengthSeconds = 86400;
        info.location = QStringLiteral("Hot lab, hood 2");
        info.note = QStringLiteral("bench_report");
        info.operatorName = QStringLiteral("bench");
        info.software = QStringLiteral("bench");
        info.timeZone = QString::fromUtf8(QTimeZone::systemTimeZoneId());
        run = j.beginRun(Journal::Kind::Log, 46363.3333, QStringLiteral("4321"), info);
        for (int i = 0; i < rows; ++i) {
            const qint64 utc = t0 + qint64(i) * 1000;
            if (i >= 14400 && i < 14700)
                continue; // the link lost
            const bool alarm = i % 14400 >= 7200 && i % 14400 < 7260;
            Journal::Row r;
            r.seq = i + 1;
            r.stamp = 46363.3333 + i / 86400.0;
            r.value = alarm ? 5.0 + (i % 60) * 0.5 : 0.1 + 0.05 * std::sin(i / 3600.0);
            r.unit = QStringLiteral("mR/h");
            r.alarmColor = alarm ? 0x0000FF : 0;
            r.alarmState = alarm ? 2 : 1;
            r.utc = utc;
            r.rangeLabel = QStringLiteral("0-5 mR/h");
            j.append(run, r);
        }
        j.addEvent(run, {t0 + 14400000, Journal::EventKind::LinkLost, QString()});
        j.addEvent(run, {t0 + 14700000, Journal::EventKind::LinkRestored, QString()});
        j.endRun(run, t0 + qint64(rows) * 1000);
        j.sync();
    }
    {
        // The run as if it had begun at t0 (the journal notes the present).
        sqlite3 *db = nullptr;
        sqlite3_open(path.toUtf8().constData(), &db);
        const QByteArray sql =
            QStringLiteral("UPDATE runs SET started_utc=%1 WHERE id=%2").arg(t0).arg(run).toUtf8();
        sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    out << "journal of " << rows << " readings made in " << t.elapsed() << " ms ("
        << QFileInfo(path).size() / 1024 << " kB)\n";

    {
        Journal j(path);
        t.restart();
        const QList<Journal::Row> got = j.rows(run);
        const QList<Journal::Event> events = j.events(run);
        const std::optional<Journal::Run> info = j.run(run);
        out << "journal query (run, rows, events): " << t.elapsed() << " ms for " << got.size()
            << " rows (goal: under 500 ms)\n";
    }
    const QString pdf = QDir(folder).absoluteFilePath(QStringLiteral("report.pdf"));
    double ms = 0, cpuMs = 0;
    long peakKb = 0;
    const int status =
        runMeasured({parser.value(QStringLiteral("kest721")), QStringLiteral("report"),
                     QString::number(run), QStringLiteral("--pdf"), pdf},
                    dataHome, &ms, &cpuMs, &peakKb);
    out << "kest721 report --pdf: exit " << status << ", " << qRound(ms)
        << " ms (goal: under 5000; " << qRound(cpuMs) << " ms of CPU), " << peakKb / 1024
        << " MB peak (goal: under 200), PDF " << QFileInfo(pdf).size() / 1024
        << " kB (goal: under 5120)\n";
    out.flush();
    return status;
}
