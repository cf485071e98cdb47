// The survey record: its summary from a journal run (pure), and kest721
// report and the run options of kest721 log as a user runs them, read back
// with poppler's pdftotext, pdfinfo and pdftoppm.
#include "assistant/Journal.h"
#include "host/kest721/ReportSummary.h"
#include "host/kest721/Trend.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>
#include <functional>
#include <gtest/gtest.h>
#include <sqlite3.h>

using norvale::assistant::Journal;

namespace
{

// 2026-12-07 10:00:00 in Berlin (+01:00).
const qint64 t0 = QDateTime(QDate(2026, 12, 7), QTime(9, 0), QTimeZone::utc()).toMSecsSinceEpoch();

Journal::Row row(qint64 seq, qint64 utc, double value, int state = 1)
{
    Journal::Row r;
    r.seq = seq;
    r.utc = utc;
    r.value = value;
    r.unit = QStringLiteral("mR/h");
    r.alarmState = state;
    r.alarmColor = state == 2 ? 0x0000FF : state == 3 ? 0x00FFFF : 0;
    r.rangeLabel = QStringLiteral("0-50 mR/h");
    return r;
}

Journal::Run logRun(const QString &alarmPoint = QStringLiteral("5"), bool enabled = true)
{
    Journal::Run run;
    run.id = 1;
    run.serialNumber = QStringLiteral("4321");
    run.info.model = QStringLiteral("720K");
    run.info.units = QStringLiteral("mR/h");
    run.info.alarmPoint = alarmPoint;
    run.info.alarmEnabled = enabled;
    run.info.intervalSeconds = 2;
    run.info.lengthSeconds = 600;
    run.info.timeZone = QStringLiteral("Europe/Berlin");
    return run;
}

// Rows one interval apart from t0; states 2 and 3 are in alarm.
QList<Journal::Row> rowsOf(const QList<double> &values, const QList<int> &states)
{
    QList<Journal::Row> rows;
    for (qsizetype i = 0; i < values.size(); ++i)
        rows.append(row(i + 1, t0 + i * 2000, values[i], states.value(i, 1)));
    return rows;
}

Journal::Event event(Journal::EventKind kind, qint64 utc)
{
    return {utc, kind, QString()};
}

TEST(ReportSummary, EpisodesGapsAndStatistics)
{
    using K = Journal::EventKind;
    struct Case {
        const char *legend;
        QList<double> values;
        QList<int> states;
        QList<Journal::Event> events;
        bool alarmOn;
        double median;
        qint64 atOrAbove; // readings
        // (start index, end index or -1 when still in alarm, ack or -1)
        QList<std::tuple<int, int, qint64>> episodes;
        QList<std::pair<qint64, qint64>> gaps; // ms after t0; -1: not back
    };
    const QList<Case> cases = {
        {"quiet, alarm off", {1, 3, 2}, {}, {}, false, 2, 0, {}, {}},
        {"one episode acknowledged inside it",
         {1, 6, 9, 7, 1, 2},
         {1, 2, 3, 3, 1, 1},
         {event(K::AlarmAcknowledged, t0 + 3000)},
         true,
         (2 + 6) / 2.0,
         3,
         {{1, 4, t0 + 3000}},
         {}},
        {"still in alarm at the end, never acknowledged",
         {1, 6, 8},
         {1, 2, 2},
         {},
         true,
         6,
         2,
         {{1, -1, -1}},
         {}},
        {"the acknowledgement belongs to the second episode",
         {6, 1, 7, 1},
         {2, 4, 2, 1},
         {event(K::AlarmAcknowledged, t0 + 4500)},
         true,
         (1 + 6) / 2.0,
         2,
         {{0, 1, -1}, {2, 3, t0 + 4500}},
         {}},
        {"a gap that ended and one that did not",
         {1, 1, 1},
         {},
         {event(K::LinkLost, t0 + 1000), event(K::LinkRestored, t0 + 3000),
          event(K::LinkLost, t0 + 5000)},
         true,
         1,
         0,
         {},
         {{1000, 3000}, {5000, -1}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        const QList<Journal::Row> rows = rowsOf(c.values, c.states);
        const norvale::host::ReportSummary s =
            norvale::host::summarize(logRun(QStringLiteral("5"), c.alarmOn), rows, c.events);
        EXPECT_EQ(s.readings, c.values.size());
        EXPECT_DOUBLE_EQ(s.median, c.median);
        EXPECT_EQ(s.readingsAtOrAbove, c.atOrAbove);
        EXPECT_EQ(s.secondsAtOrAbove, c.atOrAbove * 2);
        ASSERT_EQ(s.episodes.size(), c.episodes.size());
        for (qsizetype i = 0; i < c.episodes.size(); ++i) {
            const auto [start, end, ack] = c.episodes[i];
            const norvale::host::AlarmEpisode &e = s.episodes[i];
            EXPECT_EQ(e.startUtc, rows[start].utc);
            EXPECT_EQ(e.endedInRun, end >= 0);
            EXPECT_EQ(e.endUtc, end >= 0 ? *rows[end].utc : *rows.last().utc);
            EXPECT_EQ(e.acknowledgedUtc.value_or(-1), ack);
            double peak = 0;
            for (qsizetype r = start; r < (end >= 0 ? end : rows.size()); ++r)
                peak = std::max(peak, rows[r].value);
            EXPECT_EQ(e.peak, peak);
        }
        ASSERT_EQ(s.gaps.size(), c.gaps.size());
        for (qsizetype i = 0; i < c.gaps.size(); ++i) {
            EXPECT_EQ(s.gaps[i].lostUtc, t0 + c.gaps[i].first);
            EXPECT_EQ(s.gaps[i].restoredUtc.value_or(-1),
                      c.gaps[i].second < 0 ? -1 : t0 + c.gaps[i].second);
        }
    }
}

TEST(Trend, LastMinuteAsBlocks)
{
    norvale::host::Trend t(60000, 5);
    EXPECT_EQ(t.text(), QString());
    t.add(0, 100); // falls out of the window below
    for (int i = 1; i <= 4; ++i)
        t.add(60000 + i * 1000, i);
    // Lowest to highest over the window, 100 no longer in it.
    EXPECT_EQ(t.text(), QStringLiteral("\u2581\u2583\u2586\u2588"));
    for (int i = 5; i <= 9; ++i)
        t.add(60000 + i * 1000, 3);
    EXPECT_EQ(t.text(), QStringLiteral("\u2581\u2581\u2581\u2581\u2581")); // the newest five
}

// ---- kest721 as a user runs it ---------------------------------------------------

struct Result {
    int status = -1;
    QString out;
    QString err;
};

class Kest721Report : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_data = m_dir.filePath(QStringLiteral("data"));
        m_journal = m_data + QStringLiteral("/norvale/journal.sqlite");
    }

    Result kest721(const QStringList &args, const QString &data = QString()) const
    {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), data.isEmpty() ? m_data : data);
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(KEST721_PROGRAM), args);
        p.waitForFinished(120000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    }

    static QString tool(const QString &program, const QStringList &args)
    {
        QProcess p;
        p.start(program, args);
        p.waitForFinished(60000);
        EXPECT_EQ(p.exitCode(), 0)
            << program.toStdString() << " " << p.readAllStandardError().toStdString();
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    static QString pdfText(const QString &pdf, int first = 0, int last = 0)
    {
        QStringList args;
        if (first)
            args << QStringLiteral("-f") << QString::number(first) << QStringLiteral("-l")
                 << QString::number(last);
        return tool(QStringLiteral("pdftotext"), args << pdf << QStringLiteral("-"));
    }
    static QString pdfInfo(const QString &pdf, const QString &field)
    {
        for (const QString &line : tool(QStringLiteral("pdfinfo"), {pdf}).split(u'\n'))
            if (line.startsWith(field + u':'))
                return line.mid(field.size() + 1).trimmed();
        return {};
    }

    // The journal notes when a run begins; these runs began at another time.
    void setStarted(qint64 run, qint64 utc) const
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(m_journal.toUtf8().constData(), &db), SQLITE_OK);
        const QByteArray sql =
            QStringLiteral("UPDATE runs SET started_utc=%1 WHERE id=%2").arg(utc).arg(run).toUtf8();
        EXPECT_EQ(sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

    // A survey of 600 s at one reading a second: an alarm episode from 200 s
    // to 260 s acknowledged at 210 s, the link lost from 400 s to 430 s.
    qint64 makeSurvey(Journal &j, const QString &location, const QString &note, bool ended = true)
    {
        Journal::RunInfo info = logRun().info;
        info.intervalSeconds = 1;
        info.location = location;
        info.note = note;
        info.operatorName = QStringLiteral("J. Smith");
        const qint64 run = j.beginRun(Journal::Kind::Log, 46363.375, QStringLiteral("4321"), info);
        setStarted(run, t0);
        for (int i = 0; i < 600; ++i) {
            if (i >= 400 && i < 430)
                continue;
            const bool alarm = i >= 200 && i < 260;
            const double value = alarm ? 8 + (i - 200) * 0.2 : 1.0 + 0.2 * (i % 7);
            j.append(run, row(i + 1, t0 + i * 1000, value, alarm ? (i < 210 ? 2 : 3) : 1));
        }
        j.addEvent(run, {t0 + 210000, Journal::EventKind::AlarmAcknowledged, QStringLiteral("9")});
        j.addEvent(run, {t0 + 400000, Journal::EventKind::LinkLost, QString()});
        j.addEvent(run, {t0 + 430000, Journal::EventKind::LinkRestored, QString()});
        if (ended)
            j.endRun(run, t0 + 600000);
        return run;
    }

    QTemporaryDir m_dir;
    QString m_data;
    QString m_journal;
};

// A run of columns.
struct Band {
    int left = -1;
    int right = -1;
    int width() const { return left < 0 ? 0 : right - left + 1; }
};

// The widest run of columns in which at least `share` of the tallest such
// column's pixels match; a grid line across it (two columns at most) does not
// end it.
Band widestBand(const QImage &img, const std::function<bool(QRgb)> &match, double share)
{
    QList<int> counts(img.width(), 0);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (match(img.pixel(x, y)))
                ++counts[x];
    const int tallest = *std::max_element(counts.cbegin(), counts.cend());
    Band best, current;
    for (int x = 0; x < img.width(); ++x) {
        if (tallest > 0 && counts[x] >= share * tallest) {
            if (current.left < 0 || x - current.right > 3)
                current.left = x;
            current.right = x;
            if (current.width() > best.width())
                best = current;
        }
    }
    return best;
}

// The longest run of matching pixels along any row.
Band longestLine(const QImage &img, const std::function<bool(QRgb)> &match)
{
    Band best;
    for (int y = 0; y < img.height(); ++y) {
        Band current;
        for (int x = 0; x < img.width(); ++x) {
            if (!match(img.pixel(x, y))) {
                current = {};
                continue;
            }
            if (current.left < 0)
                current.left = x;
            current.right = x;
            if (current.width() > best.width())
                best = current;
        }
    }
    return best;
}

TEST_F(Kest721Report, PdfOfASurveyWithItsAlarmAndGap)
{
    const QString location = QStringLiteral("Lab \"S\u00fcd\", bench 3\nRoom 12");
    const QString note = QStringLiteral("\u0417\u043e\u043d\u0430 \u03b1, after the source change");
    {
        Journal j(m_journal);
        ASSERT_TRUE(j.isOpen());
        makeSurvey(j, location, note);
    }
    ASSERT_EQ(kest721({QStringLiteral("calibration"), QStringLiteral("4321"),
                       QStringLiteral("--due"), QStringLiteral("2026-01-31"),
                       QStringLiteral("--certificate"), QStringLiteral("CAL-77")})
                  .status,
              0);
    const QString pdf = m_dir.filePath(QStringLiteral("survey.pdf"));
    const Result r =
        kest721({QStringLiteral("report"), QStringLiteral("latest"), QStringLiteral("--pdf"), pdf,
                 QStringLiteral("--paper"), QStringLiteral("a4")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("was due for calibration on 2026-01-31")))
        << r.err.toStdString();

    const int pages = pdfInfo(pdf, QStringLiteral("Pages")).toInt();
    EXPECT_GE(pages, 3);
    EXPECT_TRUE(pdfInfo(pdf, QStringLiteral("Page size")).contains(QStringLiteral("(A4)")));
    const QString text = pdfText(pdf);
    for (const QString &expected : {
             QStringLiteral("721 survey record, run 1"),
             QStringLiteral("Lab \"S\u00fcd\", bench 3"),
             QStringLiteral("Room 12"),
             note,
             QStringLiteral("J. Smith"),
             QStringLiteral("due 2026-01-31 (certificate CAL-77), OVERDUE"),
             QStringLiteral("model 720K, serial number 4321"),
             QStringLiteral("2026-12-07 10:00:00 +01:00"), // start, local with its offset
             QStringLiteral("2026-12-07 10:10:00 +01:00"), // end
             QStringLiteral("570"),                        // readings
             QStringLiteral("19.8 mR/h"),                  // the episode's peak
             QStringLiteral("2026-12-07 10:03:20 +01:00"), // the episode's start
             QStringLiteral("10:03:30"),                   // acknowledged
             QStringLiteral("2026-12-07 10:06:40 +01:00"), // the link lost
             QStringLiteral("10:07:10"),                   // and back
             QStringLiteral("1 min (60 readings)"),        // at or above the alarm point
             QStringLiteral("Readings 1 to"),
             QStringLiteral("page %1 of %1").arg(pages),
         })
        EXPECT_TRUE(text.contains(expected)) << expected.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("SO FAR")));

    // The chart: the alarm point as a long red line, the episode shaded
    // (about a tenth of the run) and the gap in grey (about a twentieth).
    const QString prefix = m_dir.filePath(QStringLiteral("page"));
    tool(QStringLiteral("pdftoppm"),
         {QStringLiteral("-r"), QStringLiteral("100"), QStringLiteral("-f"), QStringLiteral("1"),
          QStringLiteral("-l"), QStringLiteral("2"), QStringLiteral("-png"), pdf, prefix});
    QImage chart;
    Band line;
    for (const QString &name : QDir(m_dir.path()).entryList({QStringLiteral("page*.png")})) {
        const QImage img(m_dir.filePath(name));
        const Band b = longestLine(
            img, [](QRgb p) { return qRed(p) > 180 && qGreen(p) < 60 && qBlue(p) < 60; });
        if (b.width() > line.width()) {
            line = b;
            chart = img;
        }
    }
    ASSERT_FALSE(chart.isNull());
    EXPECT_GT(line.width(), chart.width() / 2) << "no alarm line across the chart";
    const Band episode = widestBand(
        chart,
        [](QRgb p) {
            return qRed(p) > 235 && qGreen(p) > 150 && qGreen(p) < 225 &&
                   std::abs(qGreen(p) - qBlue(p)) < 12;
        },
        0.5);
    const Band gap = widestBand(
        chart,
        [](QRgb p) {
            return qRed(p) > 190 && qRed(p) < 235 && qRed(p) == qGreen(p) && qGreen(p) == qBlue(p);
        },
        0.5);
    const double run = line.width();
    EXPECT_NEAR(episode.width() / run, 0.1, 0.03);
    EXPECT_NEAR(gap.width() / run, 0.05, 0.02);
    // In time order: the episode (200-260 s) before the gap (400-430 s).
    EXPECT_LT(episode.right, gap.left);
    EXPECT_NEAR((gap.left - line.left) / run, 400.0 / 600, 0.03);
}

TEST_F(Kest721Report, DownloadAgainstTheRecordNumberWithItsRangeChanges)
{
    {
        Journal j(m_journal);
        const qint64 run = j.beginRun(Journal::Kind::Download, 46363.375, QStringLiteral("77"), {});
        for (int i = 1; i <= 50; ++i) {
            Journal::Row r = row(i, t0 + i, i <= 20 ? 0.5 * i : 2.0 * i, 0);
            r.alarmColor.reset();
            r.alarmState.reset();
            r.degreesC = 21.5;
            r.rangeLabel = i <= 20 ? QStringLiteral("0-15 mR/h") : QStringLiteral("0-150 mR/h");
            j.append(run, r);
        }
        j.endRun(run, t0 + 60000);
    }
    const QString pdf = m_dir.filePath(QStringLiteral("download.pdf"));
    const QString html = m_dir.filePath(QStringLiteral("download.html"));
    const Result r = kest721({QStringLiteral("report"), QStringLiteral("1"),
                              QStringLiteral("--pdf"), pdf, QStringLiteral("--html"), html,
                              QStringLiteral("--paper"), QStringLiteral("letter")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(pdfInfo(pdf, QStringLiteral("Page size")).contains(QStringLiteral("letter")));
    const QString text = pdfText(pdf);
    for (const QString &expected :
         {QStringLiteral("721 download record, download 1"), QStringLiteral("Range changes"),
          QStringLiteral("0-150 mR/h"), QStringLiteral("no due date recorded"),
          QStringLiteral("record"), QStringLiteral("21.5")})
        EXPECT_TRUE(text.contains(expected)) << expected.toStdString();
    QFile f(html);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(f.readAll());
    EXPECT_EQ(page.count(QStringLiteral("<td>21.5</td>")), 50);
    EXPECT_TRUE(page.contains(QStringLiteral("data:image/png;base64,")));
}

// Every way a user can get it wrong, and the runs that are not complete.
TEST_F(Kest721Report, BadInput)
{
    const QString pdf = m_dir.filePath(QStringLiteral("r.pdf"));
    const QString otherData = m_dir.filePath(QStringLiteral("other"));
    const QString otherJournal = otherData + QStringLiteral("/norvale/journal.sqlite");
    qint64 survey = 0, inProgress = 0, empty = 0;
    {
        Journal j(m_journal);
        survey = makeSurvey(j, QStringLiteral("a"), QStringLiteral("b"));
        inProgress = makeSurvey(j, QStringLiteral("a"), QStringLiteral("b"), false);
        empty = j.beginRun(Journal::Kind::Log, 46363.375, QStringLiteral("4321"), logRun().info);
        j.endRun(empty, t0);
    }
    sqlite3 *locker = nullptr;
    const auto damage = [&] {
        QDir().mkpath(QFileInfo(otherJournal).absolutePath());
        QFile f(otherJournal);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(8192, 'x'));
    };
    const auto lock = [&] {
        QFile::copy(m_journal, otherJournal + QStringLiteral(".tmp"));
        QDir().mkpath(QFileInfo(otherJournal).absolutePath());
        QFile::remove(otherJournal);
        ASSERT_TRUE(QFile::rename(otherJournal + QStringLiteral(".tmp"), otherJournal));
        ASSERT_EQ(sqlite3_open(otherJournal.toUtf8().constData(), &locker), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(locker,
                               "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                               "UPDATE runs SET serial=serial;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    };
    const auto unlock = [&] {
        sqlite3_close(locker);
        locker = nullptr;
    };
    const QString n = QString::number(survey);
    struct Case {
        const char *legend;
        QStringList args;
        int status;
        QString message;                   // in standard error
        QString inPdf = {};                // when a PDF is written
        std::function<void()> before = {}; // sets the case up
        bool otherJournal = false;
    };
    const QList<Case> cases = {
        {"length 0", {"log", "--length", "0"}, 2, "Cannot enter a value less than 1."},
        {"length 30x", {"log", "--length", "30x"}, 2, "--length takes a number with s, m, h or d"},
        {"interval 0", {"log", "--interval", "0"}, 2, "Cannot enter a value less than 1."},
        {"a length over the run limit",
         {"log", "--length", "25d"},
         2,
         "The total time is too long. A logging run lasts 24 days at most."},
        {"an interval not below the length",
         {"log", "--interval", "120", "--length", "2m"},
         2,
         "The sample time must be less than the total time."},
        {"a run option of another command", {"status", "--length", "2m"}, 2, "is for log"},
        {"a run that does not exist", {"report", "99"}, 1, "The journal has no run 99"},
        {"not a run", {"report", "first"}, 2, "report needs a run number"},
        {"a run in progress",
         {"report", QString::number(inProgress), "--pdf", pdf},
         0,
         "has not ended",
         "SO FAR: the run had not ended"},
        {"an empty run",
         {"report", QString::number(empty), "--pdf", pdf},
         0,
         "has no readings",
         "This run has no readings."},
        {"a damaged journal", {"report", "1"}, 1, "The journal cannot be read", {}, damage, true},
        {"a locked journal", {"report", "1"}, 1, "locked", {}, lock, true},
        {"no journal at all",
         {"report", "latest"},
         1,
         "There is no journal yet",
         {},
         [&] { QFile::remove(otherJournal); },
         true},
        {"a PDF in a folder that does not exist",
         {"report", n, "--pdf", m_dir.filePath(QStringLiteral("none/r.pdf"))},
         1,
         "Cannot write the report to"},
        {"a PDF under a file",
         {"report", n, "--pdf", pdf + QStringLiteral("/r.pdf")},
         1,
         "Cannot write the report to",
         {},
         [&] {
             QFile f(pdf);
             ASSERT_TRUE(f.open(QIODevice::WriteOnly));
         }},
        {"a paper size", {"report", n, "--paper", "a5"}, 2, "--paper takes a4 or letter"},
        {"a calibration date that is not a date",
         {"calibration", "4321", "--due", "2027-02-30"},
         2,
         "--due needs a date as YYYY-MM-DD"},
        {"a calibration date in another form",
         {"calibration", "4321", "--due", "31.03.2027"},
         2,
         "--due needs a date as YYYY-MM-DD"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        QFile::remove(pdf);
        if (c.before)
            c.before();
        const Result r = kest721(c.args, c.otherJournal ? otherData : QString());
        unlock();
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
        if (c.status == 2) {
            EXPECT_TRUE(r.err.contains(QStringLiteral("Try 'kest721 --help'")));
        }
        if (!c.inPdf.isEmpty()) {
            EXPECT_TRUE(pdfText(pdf).contains(c.inPdf));
        }
        // Nothing half-written is left beside the file asked for.
        const QStringList left =
            QDir(m_dir.path()).entryList({QStringLiteral("*.pdf*")}, QDir::Files);
        EXPECT_LE(left.size(), 1) << left.join(u' ').toStdString();
    }
}

} // namespace
