// The recorded conversations that name a call of the server, replayed through
// the real kest720 over a pseudo-terminal: the server types exactly what the
// transcript says and hears exactly what the meter answered.
#include "control/tests/MeterFixture.h"
#include "simulator/tests/Transcript.h"

#include <QDir>

using namespace norvale::simulator::testing;

namespace
{
// Runs one call named in a transcript's "host" line.
void call(kest720 &k, const QString &what)
{
    const QStringList w = what.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (w.value(0) == QLatin1String("Initialize"))
        k.Initialize();
    else if (w.value(0) == QLatin1String("AlarmRange"))
        k.setAlarmRange(static_cast<int16_t>(w.value(1).toInt()));
    else
        ADD_FAILURE() << "no such call: " << what.toStdString();
}
} // namespace

TEST_F(MeterTest, TranscriptsThatNameAServerCallReplayThroughIt)
{
    const QDir dir(QStringLiteral(SIM721_TRANSCRIPTS));
    int replayed = 0;
    for (const QString &file : dir.entryList({QStringLiteral("*.txt")}, QDir::Files)) {
        const Transcript t = readTranscript(dir.filePath(file));
        if (t.hostCall.isEmpty())
            continue;
        SCOPED_TRACE(file.toStdString());
        ASSERT_TRUE(t.error.isEmpty()) << t.error.toStdString();
        ASSERT_EQ(t.steps.value(0).kind, Step::Meter) << "one meter, named first";
        QByteArray typed, answered;
        QString finalState;
        for (const Step &s : t.steps) {
            if (s.kind == Step::Type)
                typed += s.text;
            else if (s.kind == Step::Expect)
                answered += s.text;
            else if (s.kind == Step::StateIs)
                finalState = s.words.value(0);
        }
        connectTo(meterOptions(t.steps.first().words, fast()));
        for (const QString &what : t.hostCall.split(QLatin1Char(';')))
            ASSERT_NO_THROW(call(*k, what.trimmed())) << what.toStdString();
        EXPECT_TRUE(waitFor([&] { return meter->sent().size() >= answered.size(); }, 5000));
        EXPECT_EQ(meter->received(), typed);
        EXPECT_EQ(meter->sent(), answered);
        if (!finalState.isEmpty()) {
            EXPECT_EQ(stateName(meter->state()), finalState);
        }
        ++replayed;
    }
    EXPECT_GE(replayed, 1);
}
