// The simulated meter on its line, spoken to through its pty slave with plain
// POSIX I/O: the stream in time, the faults of the line, the link. The exact
// answers to commands are recorded conversations in transcripts/.
#include "Meter.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace sim721;
using namespace std::chrono_literals;

namespace
{

// The host's end of the line: raw, non-blocking.
class Line
{
public:
    explicit Line(const QString &path)
    {
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    ~Line() { ::close(fd); }
    void type(const QByteArray &keys)
    {
        ASSERT_EQ(::write(fd, keys.constData(), keys.size()), keys.size());
    }
    // What arrives within waitMs; empty when nothing does.
    QByteArray some(int waitMs)
    {
        pollfd p{fd, POLLIN, 0};
        char buf[512];
        const ssize_t n =
            ::poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN) ? ::read(fd, buf, sizeof buf) : 0;
        return QByteArray(buf, n > 0 ? n : 0);
    }
    // Everything until the line has been quiet for quietMs (the host's way of framing).
    QByteArray quiet(int quietMs = 150)
    {
        QByteArray got, more;
        while (!(more = some(quietMs)).isEmpty())
            got += more;
        return got;
    }
    // Everything until needle has arrived (or a generous limit has passed).
    QByteArray until(const QByteArray &needle, int count = 1)
    {
        QByteArray got;
        const auto limit = std::chrono::steady_clock::now() + 5s;
        while (got.count(needle) < count && std::chrono::steady_clock::now() < limit)
            got += some(50);
        return got;
    }
    int fd = -1;
};

struct Rig {
    explicit Rig(Options o = {})
    {
        o.charMicros = 50;
        if (o.readingIntervalMs == 1000)
            o.readingIntervalMs = 100;
        o.portsFolder = dir.path();
        meter = std::make_unique<Meter>(o);
        EXPECT_TRUE(meter->start());
        line = std::make_unique<Line>(meter->slavePath());
    }
    // Reaches the monitor prompt and discards the replies on the way.
    void toMonitor()
    {
        line->type("C\f*");
        line->until("*\r\n*");
    }
    QTemporaryDir dir;
    std::unique_ptr<Meter> meter;
    std::unique_ptr<Line> line;
};

Options opts(Model m, Units u = Units::R, bool pageD = false)
{
    Options o;
    o.model = m;
    o.units = u;
    o.settingsOnPageD = pageD;
    return o;
}

// The number before the unit words of the "integrated" line.
double doseNumber(const QByteArray &reply)
{
    const qsizetype pos = reply.indexOf("integrated");
    const qsizetype lf = reply.lastIndexOf('\n', pos);
    return reply.mid(lf + 1, pos - lf - 1).split(' ').value(0).toDouble();
}

} // namespace

TEST(Meter, IntegratesWhileStreamingAndReportsInItsUnits)
{
    for (Units u : {Units::R, Units::Sv}) {
        SCOPED_TRACE(u == Units::R ? "R" : "Sv");
        Rig rig(opts(Model::K720, u));
        rig.meter->setDoseRate(36000); // 10 per second: well above the noise of a short stream
        rig.line->type("CT");
        rig.line->until("\r\n", 4);
        rig.line->type("     ");
        rig.line->until("CMD?");
        const double dose = rig.meter->integratedDose();
        EXPECT_GT(dose, 0.0);
        rig.line->type("R");
        EXPECT_NEAR(doseNumber(rig.line->until("CMD?")), dose, dose * 0.01);
        // "T" starts a new integration.
        rig.line->type("T");
        rig.line->until("\r\n", 2);
        EXPECT_LT(rig.meter->integratedDose(), dose);
    }
}

TEST(Meter, StreamsLabelsAndScriptedReadings)
{
    Rig rig(opts(Model::K720, Units::Sv));
    rig.meter->setStreamScript({{0, "0.14"}, {0, "0.15"}, {1, "12.3"}, {1, "12.4"}}, false);
    rig.line->type("CT");
    EXPECT_EQ(rig.line->until("12.4\r\n"),
              "C\r\nCMD?T\r\n5 uSv/h\r\n0.14\r\n0.15\r\n50 uSv/h\r\n12.3\r\n12.4\r\n");
    EXPECT_EQ(rig.line->quiet(300), ""); // the script has ended: silence
    rig.line->type("CRTX");              // ignored while streaming
    EXPECT_EQ(rig.line->quiet(), "");
    EXPECT_EQ(rig.meter->state(), State::Streaming);
    for (int k = 0; k < 30; ++k) {
        rig.line->type(" ");
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(rig.line->quiet(), "\r\nCMD?");
    EXPECT_EQ(rig.meter->state(), State::Command);
}

TEST(Meter, AutorangesTheDoseRate)
{
    struct Case {
        const char *legend;
        Options options;
        double rate;
        QByteArray label;
        double low, high; // the readings, noise included
    };
    const Case cases[] = {
        {"K720 R background", opts(Model::K720, Units::R), 15, "500 uR/h", 14, 16},
        {"K720 R 12 mR/h", opts(Model::K720, Units::R), 12000, "50 mR/h", 11, 13},
        {"K720 R over range", opts(Model::K720, Units::R), 9e6, "5 R/h", 5, 5},
        {"K720 Sv background", opts(Model::K720, Units::Sv), 0.15, "5 uSv/h", 0.14, 0.16},
        {"M720 R background", opts(Model::M720, Units::R), 15, "5 mR/h", 0.014, 0.016},
        {"M720 Sv 300 uSv/h", opts(Model::M720, Units::Sv), 300, "500 uSv/h", 290, 310},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        Rig rig(c.options);
        rig.meter->setDoseRate(c.rate);
        rig.line->type("CT");
        const QByteArray text = rig.line->until("\r\n", 6);
        const QList<QByteArray> lines = text.split('\n');
        ASSERT_GE(lines.size(), 6);
        EXPECT_EQ(lines[2], c.label + "\r");
        for (int k = 3; k < 6; ++k) {
            const QByteArray reading = lines[k].chopped(1);
            EXPECT_LE(reading.size(), 5) << reading.constData(); // four digits and a point
            EXPECT_GE(reading.toDouble(), c.low);
            EXPECT_LE(reading.toDouble(), c.high);
        }
    }
}

TEST(Meter, RawStreamAndAMeterFoundStreaming)
{
    Rig raw;
    raw.meter->setRawStream("500 uR/h 0.14-1e3 ~ \r\n");
    raw.line->type("CT");
    EXPECT_EQ(raw.line->quiet(300), "C\r\nCMD?T500 uR/h 0.14-1e3 ~ \r\n");

    Options o;
    o.startStreaming = true;
    Rig found(o);
    EXPECT_EQ(found.meter->state(), State::Streaming);
    const QByteArray text = found.line->until("\r\n", 2);
    EXPECT_FALSE(text.contains("CMD?"));
    found.line->type("C");
    found.line->type("     ");
    EXPECT_TRUE(found.line->until("CMD?").endsWith("\r\nCMD?"));
    found.meter->powerCycle();
    EXPECT_EQ(found.meter->state(), State::Streaming);
}

TEST(Meter, DownloadsTheLogAndClearsIt)
{
    Rig rig;
    rig.meter->setLog({{"23.5", 2, "0.123"}, {"-4.0", 0, "15.2"}});
    rig.line->type("CX");
    EXPECT_EQ(rig.line->until("CMD?", 2),
              "C\r\nCMD?X\r\n23.5 2 0.123\r\n-4.0 0 15.2\r\nCal 14-Mar-2026\r\n\r\nCMD?");

    rig.meter->setRawLogLines({"23.5 2\r\n", "garbage\n"});
    rig.line->type("X");
    EXPECT_EQ(rig.line->until("CMD?"), "X\r\n23.5 2\r\ngarbage\nCal 14-Mar-2026\r\n\r\nCMD?");

    Options o;
    o.logRecords = 3;
    Rig generated(o);
    ASSERT_EQ(generated.meter->log().size(), 3u);
    for (const LogRecord &r : generated.meter->log()) {
        EXPECT_GE(r.range, 0);
        EXPECT_LT(r.range, 5);
        EXPECT_GT(r.value.toDouble(), 0.0);
    }
}

TEST(Meter, FaultsShapeEveryReply)
{
    {
        Rig rig;
        rig.meter->setGarbage(true);
        rig.line->type("C");
        EXPECT_EQ(rig.line->quiet(), QByteArray("\x00\xff~#C\r\nCMD?", 11));
        rig.line->type("\f*DDFD0\r");
        const QByteArray dump = rig.line->until("\r\n", 4);
        EXPECT_EQ(dump.count("DFD0"), 2) << "the address echo stays whole";
    }
    {
        Rig rig;
        rig.meter->setNoCR(true);
        rig.line->type("CY");
        EXPECT_EQ(rig.line->quiet(), "C\nCMD?Y\nLog cleared\nCMD?");
    }
    {
        Rig rig;
        rig.meter->setCutReplies(400);
        rig.line->type("C");
        EXPECT_EQ(rig.line->quiet(100), "C\r\n");
        EXPECT_EQ(rig.line->until("CMD?"), "CMD?");
    }
    {
        Rig rig;
        rig.meter->setSilent(true);
        rig.line->type("C");
        EXPECT_EQ(rig.line->quiet(), "");
        EXPECT_EQ(rig.meter->state(), State::Command);
    }
    {
        Rig rig;
        rig.meter->setNoDumpLine(true);
        rig.toMonitor();
        rig.line->type("DDFD0\r.");
        EXPECT_EQ(rig.line->quiet(), "DDFD0\r\n.\r\n*");
    }
    {
        Rig rig;
        rig.meter->setSilenceAfterRecords(2);
        rig.line->type("CX");
        const QByteArray got = rig.line->quiet(300);
        EXPECT_TRUE(got.endsWith("X\r\n") || got.count("\r\n") == 4) << got.constData();
        EXPECT_FALSE(got.contains("Cal"));
        EXPECT_EQ(rig.meter->state(), State::Command);
    }
    {
        Options o;
        o.readingIntervalMs = 60000;
        Rig rig(o);
        rig.meter->setStreamWithoutPause(true);
        rig.line->type("CT");
        // With a minute between readings only the missing pause brings five of them.
        EXPECT_GE(rig.line->until("\r\n", 8).count("\r\n"), 8);
    }
}

TEST(Meter, DroppedLineHangsUpTheSlave)
{
    for (bool afterBytes : {false, true}) {
        SCOPED_TRACE(afterBytes ? "after three bytes" : "at once");
        Rig rig;
        if (afterBytes) {
            rig.meter->setDropAfterBytes(3);
            rig.line->type("C");
            EXPECT_EQ(rig.line->until("\r\n"), "C\r\n");
        } else {
            rig.meter->dropLine();
        }
        pollfd p{rig.line->fd, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
        EXPECT_TRUE(p.revents & POLLHUP);
        EXPECT_EQ(::write(rig.line->fd, "C", 1), -1);
        EXPECT_EQ(errno, EIO);
        EXPECT_TRUE(rig.meter->lineDropped());
    }
}

TEST(Meter, LinkNamesTheSlaveWhileRunning)
{
    QString link;
    {
        Options o;
        o.portNumber = 7;
        Rig rig(o);
        link = rig.meter->linkPath();
        EXPECT_TRUE(link.endsWith("/com7"));
        EXPECT_EQ(QFileInfo(link).symLinkTarget(), rig.meter->slavePath());
        rig.meter->stop();
        EXPECT_FALSE(QFileInfo(link).isSymLink());
    }
    Options bad;
    bad.serialNumber = "12a4";
    Meter meter(bad);
    QString error;
    EXPECT_FALSE(meter.start(&error));
    EXPECT_FALSE(error.isEmpty());
}
