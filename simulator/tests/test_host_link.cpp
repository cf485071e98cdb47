// The meter through the host's own serial link (QSerialPort on the port link),
// the way the instrument server reaches it.
#include "Meter.h"
#include "SerialLink.h"
#include "Ticks.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace
{

// Collects input until the text holds needle, or the line has been quiet for long.
QByteArray collect(norvale::SerialLink &link, const QByteArray &needle)
{
    QByteArray got;
    for (int idle = 0; !got.contains(needle) && idle < 100; ++idle) {
        norvale::sleepMs(20);
        const QByteArray more = link.readAll();
        if (!more.isEmpty())
            idle = 0;
        got += more;
    }
    return got;
}

} // namespace

TEST(HostLink, ReachesTheMeterThroughThePortLinkAndLosesItWhenDropped)
{
    QTemporaryDir ports;
    qputenv("NORVALE_PORTS", ports.path().toLocal8Bit());
    sim721::Options o;
    o.charMicros = 50;
    o.portNumber = 3;
    o.portsFolder = ports.path();
    sim721::Meter meter(o);
    ASSERT_TRUE(meter.start());
    EXPECT_EQ(norvale::resolvePortPath(3), meter.slavePath());

    auto link = norvale::makeQtSerialLink();
    link->setPortNumber(3);
    link->open();
    link->clearInput();
    link->write("C");
    EXPECT_EQ(collect(*link, "CMD?"), "C\r\nCMD?");
    link->write("R");
    EXPECT_TRUE(collect(*link, "CMD?").contains("1  0.5 mR/h \r\n"));

    // A port closed and opened again finds the meter where it left it.
    link->close();
    link->open();
    link->write("\f");
    EXPECT_EQ(collect(*link, "CMD?"), "\r\nCMD?");

    meter.dropLine();
    EXPECT_THROW(
        {
            for (int k = 0; k < 100; ++k) {
                link->readAll();
                norvale::pumpEvents();
                norvale::sleepMs(20);
            }
        },
        norvale::AutomationError);
    qunsetenv("NORVALE_PORTS");
}
