// The simulated meter on its line, spoken to through its pty slave with plain
// POSIX I/O: autoranging, the faults that a host must survive without
// noticing, the link. The exact answers to commands are recorded
// conversations in transcripts/; the faults a host notices are the control
// tests'.
#include "simulator/Meter.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace norvale::simulator;
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
    QTemporaryDir dir;
    std::unique_ptr<Meter> meter;
    std::unique_ptr<Line> line;
};

Options opts(Model m, Units u = Units::R)
{
    Options o;
    o.model = m;
    o.units = u;
    return o;
}

} // namespace

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
        rig.meter->setCutReplies(400);
        rig.line->type("C");
        EXPECT_EQ(rig.line->quiet(100), "C\r\n");
        EXPECT_EQ(rig.line->until("CMD?"), "CMD?");
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
