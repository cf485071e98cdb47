// Every recorded conversation in transcripts/, replayed against the meter's
// dialogue alone: a new regression is a new file there, not new code here.
#include "simulator/Dialogue.h"
#include "simulator/tests/Transcript.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace norvale::simulator;
using namespace norvale::simulator::testing;

namespace
{

// Plays one transcript; each failure names the file and its line.
class Replay
{
public:
    explicit Replay(const Transcript &t) : m_t(t) {}

    void run()
    {
        for (const Step &s : m_t.steps) {
            SCOPED_TRACE(QStringLiteral("%1:%2").arg(m_t.name).arg(s.line).toStdString());
            if (s.kind != Step::Meter && !m_meter) {
                ADD_FAILURE() << "a step before the first \"meter\"";
                return;
            }
            step(s);
        }
    }

private:
    void step(const Step &s)
    {
        switch (s.kind) {
        case Step::Meter:
            m_meter = std::make_unique<Dialogue>(meterOptions(s.words));
            m_sent.clear();
            if (meterOptions(s.words).startStreaming)
                m_meter->startStream(false, m_now);
            take();
            break;
        case Step::Type:
            for (char c : s.text) {
                m_meter->receive(c, m_now);
                take();
            }
            break;
        case Step::Expect:
            EXPECT_EQ(m_sent, s.text);
            m_sent.clear();
            break;
        case Step::Wait:
            // As the line's thread does: timed events in small steps, the line always idle.
            for (int ms = 0; ms < s.ms; ms += 10) {
                m_now += std::chrono::milliseconds(10);
                m_meter->timed(m_now, true);
                take();
            }
            break;
        case Step::StateIs:
            EXPECT_EQ(stateName(m_meter->state()), s.words.value(0));
            break;
        case Step::Ram:
        case Step::Saved: {
            const char page = s.words.value(0).toLatin1().at(0);
            const auto area = s.kind == Step::Ram ? m_meter->settingsArea(page)
                                                  : m_meter->savedSettingsArea(page);
            EXPECT_EQ(area.at(s.words.value(1).toUInt()), s.words.value(2).toUInt(nullptr, 16))
                << (s.kind == Step::Ram ? "working" : "saved") << " byte "
                << s.words.value(1).toStdString();
            break;
        }
        case Step::UnitsAre:
            EXPECT_EQ(m_meter->units() == Units::R ? "R" : "Sv", s.words.value(0));
            break;
        case Step::Power:
            m_meter->powerCycle(m_now);
            take();
            break;
        }
    }

    // What the meter replies goes out at once; the end of a download lets it
    // read the keys typed meanwhile.
    void take()
    {
        for (const Reply &r : m_meter->takeReplies()) {
            m_sent += r.text;
            if (r.endsDownload) {
                m_meter->downloadSent(m_now);
                take();
            }
        }
    }

    const Transcript &m_t;
    std::unique_ptr<Dialogue> m_meter;
    Clock::time_point m_now = Clock::time_point() + std::chrono::hours(1);
    QByteArray m_sent;
};

} // namespace

TEST(Transcripts, EachConversationReplaysAgainstTheDialogue)
{
    const QDir dir(QStringLiteral(SIM721_TRANSCRIPTS));
    const QStringList files = dir.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
    ASSERT_FALSE(files.isEmpty()) << dir.path().toStdString();
    for (const QString &file : files) {
        const Transcript t = readTranscript(dir.filePath(file));
        ASSERT_TRUE(t.error.isEmpty()) << file.toStdString() << ": " << t.error.toStdString();
        Replay(t).run();
    }
}
