// The line to the meter on its own, against the simulated meter over a real
// pseudo-terminal: reaching the command prompt from whatever the meter is
// doing, the memory monitor's round trip, and replies that come in pieces.
#include "control/MeterLink.h"
#include "control/tests/MeterFixture.h"

using norvale::control::MeterLink;
using norvale::simulator::Meter;
using norvale::simulator::Options;
using norvale::simulator::State;

namespace
{

class LinkTest : public ::testing::Test
{
protected:
    void SetUp() override { qputenv("NORVALE_PORTS", ports.path().toLocal8Bit()); }
    void TearDown() override
    {
        link.reset();
        meter.reset();
        qunsetenv("NORVALE_PORTS");
    }

    void connectTo(const Options &o)
    {
        link.reset();
        meter.reset();
        meter = std::make_unique<Meter>(o);
        QString error;
        ASSERT_TRUE(meter->start(&error)) << error;
        clock.instant = false;
        link = std::make_unique<MeterLink>(&norvale::platform::makeQtSerialLink, &clock);
        link->open(1, QString());
    }

    Options fast() { return norvale::simulator::testing::fast(ports.path()); }

    QTemporaryDir ports;
    TestClock clock;
    std::unique_ptr<Meter> meter;
    std::unique_ptr<MeterLink> link;
};

} // namespace

TEST_F(LinkTest, CommandModeIsReachedFromWhateverTheMeterIsDoing)
{
    enum Start { Idle, AtPrompt, InMonitor, Integrating, Streaming, StreamingNoPause, Silent };
    struct Case {
        const char *legend;
        Start start;
        bool reached;
        bool talking;    // heardTalking() after a failure
        QByteArray wire; // what StartCommandMode sent; "~" for the blank bursts
    } cases[] = {
        {"idle: one C", Idle, true, false, "C"},
        {"known to be at the prompt: nothing sent", AtPrompt, true, false, ""},
        {"monitor: leave it, then ask", InMonitor, true, false, "CC"},
        {"integrating: blanks end it, then ask", Integrating, true, false, "~C"},
        {"streaming, never answering C: three tries", Streaming, false, true, "CCC"},
        {"streaming without a pause: one try is enough", StreamingNoPause, false, true, "C"},
        {"silent: three tries", Silent, false, false, "CCC"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        Options o = fast();
        o.startStreaming = c.start == Streaming || c.start == StreamingNoPause;
        connectTo(o);
        meter->setStreamWithoutPause(c.start == StreamingNoPause);
        switch (c.start) {
        case AtPrompt:
            ASSERT_TRUE(link->StartCommandMode());
            break;
        case InMonitor:
            ASSERT_TRUE(link->StartCommandMode());
            ASSERT_TRUE(link->EnterMonitorMode());
            ASSERT_EQ(meter->state(), State::Monitor);
            break;
        case Integrating:
            ASSERT_TRUE(link->StartCommandMode());
            ASSERT_TRUE(link->command("T").contains('T'));
            link->setMode(LinkMode::linkIntegrate);
            break;
        case Silent:
            meter->setSilent(true);
            clock.instant = true;
            break;
        default:
            break;
        }
        meter->clearReceived();
        link->clearStop();

        EXPECT_EQ(link->StartCommandMode(), c.reached);
        runFor(200); // the last character reaches the meter
        QByteArray wire = meter->received();
        wire.replace(QByteArray(30, ' '), "~");
        while (wire.contains("~~"))
            wire.replace("~~", "~");
        EXPECT_EQ(wire, c.wire);
        if (c.reached) {
            EXPECT_EQ(link->mode(), LinkMode::linkCommand);
            EXPECT_EQ(meter->state(), State::Command);
            EXPECT_EQ(link->stopRequested(), c.start == Integrating)
                << "ending an integration also stops a stream loop on the stack";
            continue;
        }
        EXPECT_EQ(link->heardTalking(), c.talking);
        if (c.talking) {
            // What Initialize does with a meter found streaming.
            link->ExitStreamMode();
            link->setMode(LinkMode::linkUnknown);
            EXPECT_TRUE(link->StartCommandMode());
            EXPECT_EQ(meter->state(), State::Command);
        }
    }
}

TEST_F(LinkTest, MemoryWrittenThroughTheMonitorReadsBack)
{
    struct Case {
        const char *legend;
        const char *address;
        QString value;
        const char *typed; // the value as it was typed and as it reads back
        int cutMs;         // every reply comes in two pieces this far apart
    } cases[] = {
        {"one digit gets a leading zero", "DFD2", "7", "07", 0},
        {"nothing is typed as zero", "DFDC", "", "00", 0},
        {"only two digits are typed", "DFD3", "3C9", "3C", 0},
        {"replies in two pieces", "DFD2", "2A", "2A", 200},
    };
    connectTo(fast());
    ASSERT_TRUE(link->StartCommandMode());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.legend);
        meter->setCutReplies(c.cutMs);
        meter->clearReceived();
        meter->clearSent();
        link->resetPacingStats();
        const QString address = QString::fromLatin1(c.address);
        const int offset = address.right(1).toInt(nullptr, 16);

        QString value = c.value;
        ASSERT_TRUE(link->SetMemoryLocation(address, value));
        EXPECT_EQ(value, QString(c.typed));
        EXPECT_EQ(meter->settingsArea('D')[offset], QString(c.typed).toInt(nullptr, 16));
        EXPECT_TRUE(meter->received().contains(QByteArray("I") + c.address + "\r" + c.typed))
            << meter->received().toStdString();

        QStringList bytes{QString()};
        ASSERT_TRUE(link->ReadMemoryLocation(QStringLiteral("DFD0"), bytes));
        ASSERT_GT(bytes.size(), offset) << bytes.join(',').toStdString();
        EXPECT_EQ(bytes[offset], QString(c.typed));
        EXPECT_EQ(link->mode(), LinkMode::linkMonitor);

        // The pacing figures count every byte that crossed.
        EXPECT_EQ(link->pacingStats().bytesSent, meter->received().size());
        EXPECT_EQ(link->pacingStats().bytesReceived, meter->sent().size());
    }
    ASSERT_TRUE(link->StartCommandMode());
    EXPECT_EQ(meter->state(), State::Command);
}

TEST_F(LinkTest, AReplyIsCollectedUntilTheMeterPausesForAQuarterSecond)
{
    connectTo(fast());
    ASSERT_TRUE(link->StartCommandMode());
    link->clearInput();
    const QString whole = link->command("R");
    ASSERT_TRUE(whole.contains("CMD?")) << whole.toStdString();
    struct Case {
        int cutMs;
        bool takenWhole;
    } cases[] = {{100, true}, {200, true}, {500, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cutMs);
        meter->setCutReplies(c.cutMs);
        link->clearInput();
        const QString reply = link->command("R");
        if (c.takenWhole) {
            EXPECT_EQ(reply, whole);
        } else {
            EXPECT_LT(reply.size(), whole.size());
            EXPECT_TRUE(whole.startsWith(reply)) << reply.toStdString();
        }
        runFor(c.cutMs + 300); // the rest of a cut reply goes by
    }
}
