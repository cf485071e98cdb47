// The journal as a file: what today's code writes, what files of the first
// schema become when they are opened, and what a report or a publisher reads
// back.
#include "assistant/Journal.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QTimeZone>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <sqlite3.h>

using norvale::assistant::Journal;

namespace
{

// Runs SQL on a file the way another program (or an older version) would.
void rawSql(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    char *error = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

Journal::Row row(qint64 seq, double stamp, double value, std::optional<int32_t> alarmColor,
                 std::optional<double> degreesC = {})
{
    Journal::Row r;
    r.seq = seq;
    r.stamp = stamp;
    r.value = value;
    r.unit = QStringLiteral("mR/h");
    r.alarmColor = alarmColor;
    r.degreesC = degreesC;
    return r;
}

int userVersion(const QString &path)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr);
    sqlite3_step(s);
    const int v = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return v;
}

// The local time of a spreadsheet date in the zone under test, as UTC ms.
qint64 utcOf(double stamp)
{
    const QDateTime day0(QDate(1899, 12, 30), QTime(0, 0), QTimeZone::systemTimeZone());
    return QDateTime(day0.date().addDays(qint64(stamp)),
                     QTime(0, 0).addMSecs(int(qRound64((stamp - qint64(stamp)) * 86400000.0))),
                     QTimeZone::systemTimeZone())
        .toMSecsSinceEpoch();
}

// Sets the process's time zone for one test; SQLite reads it through the C library.
class ZoneGuard
{
public:
    explicit ZoneGuard(const char *zone) : m_old(qgetenv("TZ"))
    {
        qputenv("TZ", zone);
        tzset();
    }
    ~ZoneGuard()
    {
        if (m_old.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", m_old);
        tzset();
    }

private:
    QByteArray m_old;
};

class JournalFile : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("journal.sqlite"));
};

// The schema that the first journal wrote, with two runs as it kept them.
constexpr const char *firstSchema =
    "CREATE TABLE runs(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " kind TEXT NOT NULL, started REAL NOT NULL, serial TEXT NOT NULL);"
    "CREATE TABLE readings(run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,"
    " seq INTEGER NOT NULL, stamp REAL NOT NULL, value REAL NOT NULL,"
    " unit TEXT NOT NULL, alarm_color INTEGER, degrees_c REAL,"
    " PRIMARY KEY(run, seq)) WITHOUT ROWID;"
    // 2026-01-15 10:00:00 (winter) and 2026-07-15 10:00:00 (summer), local time.
    "INSERT INTO runs(kind, started, serial) VALUES('log', 46037.41666666667, '5501');"
    "INSERT INTO readings VALUES(1, 1, 46037.41666666667, 0.015, 'mR/h', 65280, NULL);"
    "INSERT INTO readings VALUES(1, 2, 46037.41667824074, 0.016, 'mR/h', 255, NULL);"
    "INSERT INTO runs(kind, started, serial) VALUES('download', 46218.41666666667, '5501');"
    "INSERT INTO readings VALUES(2, 1, 46218.41666666667, 12.5, 'uSv/h', NULL, 21.8);";

TEST_F(JournalFile, AFileOfTheFirstSchemaIsMigratedInPlaceWithItsInstantsInUtc)
{
    ZoneGuard zone("Europe/Berlin");
    rawSql(path, firstSchema);
    {
        Journal j(path);
        ASSERT_TRUE(j.isOpen()) << j.lastError().toStdString();
        const QList<Journal::Run> runs = j.runs();
        ASSERT_EQ(runs.size(), 2);
        EXPECT_EQ(runs[0].serialNumber, u"5501");
        EXPECT_EQ(runs[0].rows, 2);
        EXPECT_EQ(runs[1].kind, Journal::Kind::Download);

        const QList<Journal::Row> log = j.rows(1);
        ASSERT_EQ(log.size(), 2);
        EXPECT_DOUBLE_EQ(log[1].value, 0.016);
        EXPECT_EQ(log[1].alarmColor, 255);
        // Berlin is UTC+1 in January and UTC+2 in July: the offset is the
        // one of each row's own date, not of the day the file was migrated.
        EXPECT_EQ(*log[0].utc, utcOf(46037.41666666667));
        EXPECT_EQ(QDateTime::fromMSecsSinceEpoch(*log[0].utc, QTimeZone::utc()).time().hour(), 9);
        const QList<Journal::Row> download = j.rows(2);
        ASSERT_EQ(download.size(), 1);
        EXPECT_EQ(QDateTime::fromMSecsSinceEpoch(*download[0].utc, QTimeZone::utc()).time().hour(),
                  8);
        EXPECT_EQ(download[0].degreesC, 21.8);
        EXPECT_EQ(runs[0].startedUtc, log[0].utc);
        // A migrated run is over: its end is its last row.
        EXPECT_EQ(runs[0].endedUtc, log[1].utc);
        // Rows from before publishing are not a backlog.
        EXPECT_TRUE(j.unpublished(10).isEmpty());
        // The new kinds of data can be added to an old run.
        EXPECT_TRUE(j.append(1, row(3, 46037.41668981481, 0.017, 65280)));
        EXPECT_TRUE(j.addEvent(1, {*log[1].utc, Journal::EventKind::LinkLost, {}}));
    }
    EXPECT_EQ(userVersion(path), Journal::schemaVersion);
    // Opening again changes nothing.
    Journal again(path);
    ASSERT_TRUE(again.isOpen());
    EXPECT_EQ(again.rows(1).size(), 3);
    EXPECT_EQ(again.events(1).size(), 1);
}

TEST_F(JournalFile, AFileOfANewerSchemaIsRefusedAndLeftAsItIs)
{
    rawSql(path, "CREATE TABLE runs(id INTEGER PRIMARY KEY); PRAGMA user_version = 99;");
    Journal j(path);
    EXPECT_FALSE(j.isOpen());
    EXPECT_TRUE(j.lastError().contains(u"newer")) << j.lastError().toStdString();
    EXPECT_EQ(userVersion(path), 99);
}

TEST_F(JournalFile, AMigrationThatFailsLeavesTheFileAsItWas)
{
    // A runs table without the column the migration fills cannot be migrated.
    rawSql(path, "CREATE TABLE runs(id INTEGER PRIMARY KEY, kind TEXT, serial TEXT);"
                 "INSERT INTO runs VALUES(1, 'log', '5501');");
    Journal j(path);
    EXPECT_FALSE(j.isOpen());
    EXPECT_TRUE(j.lastError().contains(u"schema")) << j.lastError().toStdString();
    EXPECT_EQ(userVersion(path), 0);
}

TEST_F(JournalFile, ARunKeepsItsDetailsItsRowsAndItsMarks)
{
    Journal j(path);
    ASSERT_TRUE(j.isOpen());
    Journal::RunInfo info;
    info.model = QStringLiteral("720K");
    info.units = QStringLiteral("mR/h");
    info.alarmPoint = QStringLiteral("0.02");
    info.alarmEnabled = false;
    info.intervalSeconds = 5;
    info.lengthSeconds = 0;
    info.location = QStringLiteral("Bldg \"7\", room 12,\nhood 3 — Кабинет 線量");
    info.note = QStringLiteral("after, \"spill\"");
    info.operatorName = QStringLiteral("jdoe");
    info.software = QStringLiteral("1.2.3");
    info.timeZone = QStringLiteral("Europe/Berlin");
    const qint64 run = j.beginRun(Journal::Kind::Log, 46037.5, QStringLiteral("5501"), info);
    ASSERT_GT(run, 0);

    Journal::Row row = ::row(1, 46037.5, 0.015, 65280);
    row.utc = 1768474800000;
    row.alarmState = 2;
    row.rangeLabel = QStringLiteral("0-5 mR/h");
    ASSERT_TRUE(j.append(run, row));
    ASSERT_TRUE(j.addEvent(run, {1768474802000, Journal::EventKind::LinkRestored, {}}));
    ASSERT_TRUE(j.addEvent(
        run, {1768474801000, Journal::EventKind::AlarmAcknowledged, QStringLiteral("0.016")}));
    // A row appended twice is refused, not doubled.
    EXPECT_FALSE(j.append(run, row));

    std::optional<Journal::Run> r = j.run(run);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->endedUtc) << "a run in progress";
    EXPECT_EQ(r->info.location, info.location);
    EXPECT_EQ(r->info.note, info.note);
    EXPECT_EQ(r->info.alarmEnabled, false);
    EXPECT_EQ(r->info.lengthSeconds, 0);
    EXPECT_EQ(r->info.intervalSeconds, 5);
    EXPECT_EQ(r->info.timeZone, info.timeZone);
    ASSERT_TRUE(j.endRun(run, 1768474900000));
    EXPECT_EQ(j.run(run)->endedUtc, 1768474900000);
    EXPECT_FALSE(j.run(run + 1));

    const QList<Journal::Row> rows = j.rows(run);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].utc, 1768474800000);
    EXPECT_EQ(rows[0].alarmState, 2);
    EXPECT_EQ(rows[0].rangeLabel, u"0-5 mR/h");

    const QList<Journal::Event> events = j.events(run);
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events[0].kind, Journal::EventKind::AlarmAcknowledged) << "in time order";
    EXPECT_EQ(events[0].detail, u"0.016");
    EXPECT_EQ(events[1].kind, Journal::EventKind::LinkRestored);
}

TEST_F(JournalFile, RowsNotHandedOnComeBackOldestFirstUntilMarked)
{
    Journal j(path);
    const qint64 first = j.beginRun(Journal::Kind::Log, 1, QString());
    const qint64 second = j.beginRun(Journal::Kind::Download, 2, QStringLiteral("5501"));
    for (qint64 seq = 1; seq <= 3; ++seq) {
        ASSERT_TRUE(j.append(second, ::row(seq, 2, double(seq), {}, 20.0)));
        ASSERT_TRUE(j.append(first, ::row(seq, 1, double(seq), 65280)));
    }
    auto pending = j.unpublished(4);
    ASSERT_EQ(pending.size(), 4);
    EXPECT_EQ(pending[0].first.run, first);
    EXPECT_EQ(pending[2].first.seq, 3);
    EXPECT_EQ(pending[3].first.run, second);
    EXPECT_EQ(pending[3].second.degreesC, 20.0);

    ASSERT_TRUE(j.markPublished({pending[0].first, pending[1].first}));
    pending = j.unpublished(100);
    ASSERT_EQ(pending.size(), 4);
    EXPECT_EQ(pending[0].first.run, first);
    EXPECT_EQ(pending[0].first.seq, 3);
    // The journal's own run list shows the empty serial as it was given.
    EXPECT_EQ(j.runs()[0].serialNumber, QString());
}

} // namespace
