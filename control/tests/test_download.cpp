// Download of the meter's internal data log from the simulated meter.
#include "control/tests/MeterFixture.h"

#include <QTimer>

namespace
{
struct Download {
    struct Record {
        float degrees;
        double value;
        QString units;
        TYPE_PREFIX prefix;
    };
    std::vector<Record> records;
    int complete = 0;
    int errors = 0;
    explicit Download(kest720 &k)
    {
        QObject::connect(&k, &kest720::DataDownload, [this](float c, const Measurement &m) {
            records.push_back({c, m.Value, m.UnitString, m.Prefix});
        });
        QObject::connect(&k, &kest720::DataDownloadComplete, [this] { ++complete; });
        QObject::connect(&k, &kest720::DataDownloadError, [this] { ++errors; });
    }
    bool done() const { return complete + errors > 0; }
};

std::vector<norvale::simulator::LogRecord> makeLog(int n)
{
    std::vector<norvale::simulator::LogRecord> log;
    for (int i = 0; i < n; ++i)
        log.push_back({QString::number(-10 + (i % 500) * 0.1, 'f', 1), i % 5,
                       QString::number(0.001 * (i + 1), 'f', 3)});
    return log;
}
} // namespace

TEST_F(MeterTest, EmptyLogGivesOnlyComplete)
{
    initialize(fast());
    meter->setLog({});
    Download d(*k);
    k->StartLogDownload();
    ASSERT_TRUE(waitFor([&] { return d.done(); }, 10000));
    EXPECT_EQ(d.complete, 1);
    EXPECT_EQ(d.errors, 0);
    EXPECT_TRUE(d.records.empty());
    EXPECT_EQ(k->linkMode(), LinkMode::linkCommand);
}

TEST_F(MeterTest, LongLogArrivesCompleteInOrderAndExact)
{
    initialize(fast());
    const auto log = makeLog(500);
    meter->setLog(log);
    Download d(*k);
    k->StartLogDownload();
    ASSERT_TRUE(waitFor([&] { return d.done(); }, 120000));
    EXPECT_EQ(d.complete, 1);
    EXPECT_EQ(d.errors, 0);
    ASSERT_EQ(d.records.size(), log.size());
    for (size_t i = 0; i < log.size(); ++i) {
        const Range &r = k->Ranges().Item(log[i].range + 1);
        ASSERT_FLOAT_EQ(d.records[i].degrees, log[i].temperature.toFloat()) << i;
        ASSERT_DOUBLE_EQ(d.records[i].value, log[i].value.toDouble()) << i;
        ASSERT_EQ(d.records[i].units, r.ScaleUnits) << i;
    }
    EXPECT_EQ(d.records[0].units, "uR/h") << "range 0 of a 720K in roentgen";
    EXPECT_EQ(d.records[0].prefix, prefixMicro);
    EXPECT_EQ(d.records[1].prefix, prefixMilli);
    EXPECT_EQ(meter->state(), norvale::simulator::State::Command);
}

TEST_F(MeterTest, CutRecordsAreParsedOnceAndBadRecordsSkipped)
{
    initialize(fast());
    meter->setRawLogLines({"23.5 0 0.123\r\n", "garbage\r\n", "22.0 9 1.0\r\n", "21.5 1 abc\r\n",
                           "20.5 2 4.5\r\n", "CAL 2026-11-30\r\n"});
    meter->setCutReplies(150);
    Download d(*k);
    k->StartLogDownload();
    ASSERT_TRUE(waitFor([&] { return d.done(); }, 20000));
    EXPECT_EQ(d.complete, 1);
    ASSERT_EQ(d.records.size(), 2u);
    EXPECT_FLOAT_EQ(d.records[0].degrees, 23.5f);
    EXPECT_DOUBLE_EQ(d.records[0].value, 0.123);
    EXPECT_FLOAT_EQ(d.records[1].degrees, 20.5f);
    EXPECT_DOUBLE_EQ(d.records[1].value, 4.5);
    EXPECT_EQ(d.records[1].units, "mR/h") << "range 2 is 50 mR/h";
}

TEST_F(MeterTest, SilenceInTheMiddleGivesErrorAfterTheCompleteRecords)
{
    initialize(fast());
    meter->setLog(makeLog(20));
    meter->setSilenceAfterRecords(7);
    Download d(*k);
    QObject::connect(k.get(), &kest720::DataDownload, [&] {
        if (d.records.size() == 7)
            clock.instant = true;
    });
    k->StartLogDownload();
    ASSERT_TRUE(waitFor([&] { return d.done(); }, 20000));
    EXPECT_EQ(d.errors, 1);
    EXPECT_EQ(d.complete, 0);
    EXPECT_EQ(d.records.size(), 7u);
}

TEST_F(MeterTest, NoAnswerGivesErrorAfterOneAndAHalfSecondsOfSilence)
{
    initialize(fast());
    meter->setSilent(true);
    clock.instant = true;
    Download d(*k);
    const uint32_t t0 = clock.tickCount();
    k->StartLogDownload();
    ASSERT_TRUE(waitFor([&] { return d.done(); }, 10000));
    EXPECT_EQ(d.errors, 1);
    EXPECT_GE(norvale::platform::ticksSince(t0, clock.tickCount()), 1500u)
        << "on the server's clock";
}

TEST_F(MeterTest, DroppedLineDuringTheDownloadGivesError)
{
    initialize(fast());
    meter->setLog(makeLog(100));
    meter->setDropAfterBytes(300); // in the middle of the records
    Download d(*k);
    k->StartLogDownload();
    ASSERT_TRUE(waitFor([&] { return d.done(); }, 20000)) << "no hang";
    EXPECT_EQ(d.errors, 1);
    EXPECT_LT(d.records.size(), 100u);
}

TEST_F(MeterTest, ClearLogEmptiesTheMetersLog)
{
    initialize(fast());
    meter->setLog(makeLog(3));
    k->ClearLog();
    waitFor([&] { return meter->log().empty(); }, 3000);
    EXPECT_TRUE(meter->log().empty());
    EXPECT_EQ(meter->received(), "Y");
}
