#include "assistant/tests/LocaleGuard.h"
#include "platform/registry/RegistryStore.h"
#include "assistant/Settings.h"
#include "assistant/modAlarm.h"
#include "assistant/modMain.h"
#include "assistant/modTimer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace platform = norvale::platform;
namespace modAlarm = norvale::assistant::modAlarm;
namespace modTimer = norvale::assistant::modTimer;
using norvale::assistant::modMain::LoadSettings;
using norvale::assistant::modMain::SaveSettings;

namespace
{

const QString kSection = QStringLiteral("Software\\Norvale\\721");

// Every setting in memory, to compare a load with what was saved.
struct Snapshot {
    int16_t comPort;
    int32_t colors[4];
    int32_t interval, length;
    bool useAck, enabled, sound;
    double point;

    static Snapshot take()
    {
        return {norvale::assistant::modMain::ComPort,
                {modAlarm::ColorAckNormal, modAlarm::ColorUnAckAlarm, modAlarm::ColorAckAlarm,
                 modAlarm::ColorUnAckNormal},
                modTimer::GetTimerInterval(),
                modTimer::GetTimerDuration(),
                modAlarm::GetUseAcknowledge(),
                modAlarm::GetAlarmEnabled(),
                modAlarm::GetPlayAlarmSound(),
                modAlarm::GetAlarmPoint()};
    }
    void apply() const
    {
        norvale::assistant::modMain::ComPort = comPort;
        modAlarm::ColorAckNormal = colors[0];
        modAlarm::ColorUnAckAlarm = colors[1];
        modAlarm::ColorAckAlarm = colors[2];
        modAlarm::ColorUnAckNormal = colors[3];
        modTimer::SetTimerInterval(interval);
        modTimer::SetTimerDuration(length);
        modAlarm::SetUseAcknowledge(useAck);
        modAlarm::SetAlarmEnabled(enabled);
        modAlarm::SetPlayAlarmSound(sound);
        modAlarm::SetAlarmPoint(point);
    }
    bool operator==(const Snapshot &) const = default;
};

void PrintTo(const Snapshot &s, std::ostream *os)
{
    *os << "port " << s.comPort << ", colours " << s.colors[0] << "/" << s.colors[1] << "/"
        << s.colors[2] << "/" << s.colors[3] << ", interval " << s.interval << ", length "
        << s.length << ", ack " << s.useAck << ", enabled " << s.enabled << ", sound " << s.sound
        << ", point " << s.point;
}

const Snapshot kDefaults = {1, {0x000000, 0x0000FF, 0x00FFFF, 0xFF0000}, 1, 60, true, true, true,
                            0};
// Values that differ from every default, and from the junk below.
const Snapshot kSaved = {
    4, {0x123456, int32_t(0x80000005u), 0x00FF00, 0x0000FF}, 0, 3600, false, true, false, 2.5};
const Snapshot kJunk = {-7, {-1, -1, -1, -1}, 99, 99, false, false, false, -42};

class ModMain : public ::testing::Test
{
protected:
    void SetUp() override
    {
        platform::deleteTree(platform::HKEY_CURRENT_USER, kSection);
        kJunk.apply();
    }
    void store(const char *name, uint32_t type, const QByteArray &data)
    {
        platform::Key key;
        ASSERT_EQ(platform::createKey(platform::HKEY_CURRENT_USER, kSection,
                                      platform::KEY_ALL_ACCESS, key),
                  platform::ERROR_SUCCESS);
        ASSERT_EQ(platform::setValue(key, QString::fromLatin1(name), type, data),
                  platform::ERROR_SUCCESS);
    }
    std::pair<uint32_t, QByteArray> stored(const char *name)
    {
        platform::Key key;
        uint32_t type = 0;
        QByteArray data;
        if (platform::openKey(platform::HKEY_CURRENT_USER, kSection, platform::KEY_READ, key) ==
            platform::ERROR_SUCCESS)
            platform::readValue(key, QString::fromLatin1(name), &type, &data);
        return {type, data};
    }
};

QByteArray dword(uint32_t v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

QByteArray text(const char *s)
{
    return QByteArray(s) + '\0';
}

} // namespace

TEST_F(ModMain, FirstStartGivesEveryDefault)
{
    EXPECT_TRUE(LoadSettings().isEmpty());
    EXPECT_EQ(Snapshot::take(), kDefaults);
}

TEST_F(ModMain, SaveThenLoadRoundTripsEveryValue)
{
    struct Case {
        QLocale locale;
        double point;
        QByteArray pointText;
    };
    const Case cases[] = {
        {englishLocale(), 2.5, text("2.5")},
        {germanLocale(), 2.5, text("2,5")},
        {germanLocale(), 0.1 + 0.2, text("0,30000000000000004")},
        {englishLocale(), 1e-7, text("1E-07")},
        {englishLocale(), 250000, text("250000")},
    };
    for (const Case &c : cases) {
        LocaleGuard guard(c.locale);
        Snapshot saved = kSaved;
        saved.point = c.point;
        saved.apply();
        EXPECT_TRUE(SaveSettings().isEmpty());
        EXPECT_EQ(stored(norvale::assistant::settings::AlarmPoint),
                  std::make_pair(platform::REG_SZ, c.pointText));
        for (const char *name : {"ComPort", "ColorAckNormal", "ColorUnAckAlarm", "ColorAckAlarm",
                                 "ColorUnAckNormal", "TimerInterval", "TimerLength",
                                 "UseAcknowledgeButton", "AlarmEnabled", "PlayAlarmSound"})
            EXPECT_EQ(stored(name).first, platform::REG_DWORD) << name;
        EXPECT_EQ(stored("ColorUnAckAlarm").second, dword(0x80000005u));
        EXPECT_EQ(stored("UseAcknowledgeButton").second, dword(0));
        EXPECT_EQ(stored("AlarmEnabled").second, dword(1));
        kJunk.apply();
        EXPECT_TRUE(LoadSettings().isEmpty());
        EXPECT_EQ(Snapshot::take(), saved) << c.locale.name().toStdString();
    }
}

TEST_F(ModMain, OneUnreadableValueTakesItsDefaultAndSparesTheOthers)
{
    struct Case {
        const char *legend;
        const char *name;
        uint32_t type;
        QByteArray data;
        bool unreadable;
        std::function<void(Snapshot &)> expect; // from the saved values
    };
    const Case cases[] = {
        {"switch stored as 7", "UseAcknowledgeButton", platform::REG_DWORD, dword(7), true,
         [](Snapshot &s) { s.useAck = true; }},
        {"switch stored as a word", "PlayAlarmSound", platform::REG_SZ, text("on"), true,
         [](Snapshot &s) { s.sound = true; }},
        {"switch stored as the text 1", "PlayAlarmSound", platform::REG_SZ, text("1"), false,
         [](Snapshot &s) { s.sound = true; }},
        {"alarm point that is no number", "AlarmPoint", platform::REG_SZ, text("abc"), true,
         [](Snapshot &s) { s.point = 0; }},
        {"alarm point infinite", "AlarmPoint", platform::REG_SZ, text("inf"), true,
         [](Snapshot &s) { s.point = 0; }},
        {"alarm point cut short", "AlarmPoint", platform::REG_SZ, text("2."), false,
         [](Snapshot &s) { s.point = 2; }},
        {"alarm point stored as a number", "AlarmPoint", platform::REG_DWORD, dword(5), false,
         [](Snapshot &s) { s.point = 5; }},
        {"port beyond 16 bits", "ComPort", platform::REG_DWORD, dword(70000), true,
         [](Snapshot &s) { s.comPort = 1; }},
        {"interval too long to count in milliseconds", "TimerInterval", platform::REG_DWORD,
         dword(3000000), true, [](Snapshot &s) { s.interval = 1; }},
        {"length stored as 0", "TimerLength", platform::REG_DWORD, dword(0), false,
         [](Snapshot &s) { s.length = 0; }},
        {"colour stored as bytes", "ColorAckAlarm", platform::REG_BINARY, QByteArray("\1\2\3"),
         true, [](Snapshot &s) { s.colors[2] = 0x00FFFF; }},
        {"first value unreadable", "ComPort", platform::REG_SZ, text("COM1"), true,
         [](Snapshot &s) { s.comPort = 1; }},
        {"window position that is no position", "DisplayPosition", platform::REG_SZ, text("top"),
         true, [](Snapshot &) {}},
    };
    LocaleGuard guard(englishLocale());
    for (const Case &c : cases) {
        platform::deleteTree(platform::HKEY_CURRENT_USER, kSection);
        kSaved.apply();
        ASSERT_TRUE(SaveSettings().isEmpty());
        store(c.name, c.type, c.data);
        kJunk.apply();
        const QStringList failed = LoadSettings();
        EXPECT_EQ(failed, c.unreadable ? QStringList{c.name} : QStringList()) << c.legend;
        Snapshot expected = kSaved;
        c.expect(expected);
        EXPECT_EQ(Snapshot::take(), expected) << c.legend;
    }
}

TEST_F(ModMain, AnAlarmPointSavedUnderAnotherLocaleIsNotLost)
{
    struct Case {
        QLocale locale;
        const char *stored;
        double expected;
    };
    const Case cases[] = {
        {germanLocale(), "2.5", 2.5},
        {englishLocale(), "0.75", 0.75},
    };
    for (const Case &c : cases) {
        LocaleGuard guard(c.locale);
        store("AlarmPoint", platform::REG_SZ, text(c.stored));
        EXPECT_TRUE(LoadSettings().isEmpty()) << c.stored;
        EXPECT_EQ(modAlarm::GetAlarmPoint(), c.expected) << c.stored;
    }
}

TEST_F(ModMain, OnlyAMissingAlarmPointWaitsForTheMetersOwn)
{
    struct Case {
        const char *legend;
        std::optional<QByteArray> stored;
        bool pending;
    };
    const Case cases[] = {
        {"first use", std::nullopt, true},
        {"a stored 0", text("0"), false},
        {"a stored 2.5", text("2.5"), false},
        {"an unreadable one", text("abc"), false},
    };
    LocaleGuard guard(englishLocale());
    for (const Case &c : cases) {
        platform::deleteTree(platform::HKEY_CURRENT_USER, kSection);
        if (c.stored)
            store("AlarmPoint", platform::REG_SZ, *c.stored);
        LoadSettings();
        EXPECT_EQ(modAlarm::AlarmPointPending(), c.pending) << c.legend;
        // A session that never connected stores no alarm point of its own.
        SaveSettings();
        EXPECT_EQ(stored("AlarmPoint").second, c.pending                 ? QByteArray()
                                               : c.stored == text("abc") ? text("0")
                                                                         : *c.stored)
            << c.legend;
    }
    modAlarm::SetAlarmPoint(0);
    EXPECT_FALSE(modAlarm::AlarmPointPending()) << "setting the alarm point chooses it";
}

TEST_F(ModMain, TheWindowPositionRoundTripsAndIsNoneByDefault)
{
    using norvale::assistant::modMain::DisplayPosition;
    const std::optional<QPoint> cases[] = {QPoint(1200, 24), QPoint(-1900, 300), std::nullopt};
    for (const auto &at : cases) {
        DisplayPosition = at;
        ASSERT_TRUE(SaveSettings().isEmpty());
        DisplayPosition = QPoint(7, 7);
        ASSERT_TRUE(LoadSettings().isEmpty());
        EXPECT_EQ(DisplayPosition, at);
    }
    platform::deleteTree(platform::HKEY_CURRENT_USER, kSection);
    DisplayPosition = QPoint(7, 7);
    LoadSettings();
    EXPECT_EQ(DisplayPosition, std::nullopt);
}

TEST_F(ModMain, LeavesTheIntegrationValuesAlone)
{
    store(norvale::assistant::settings::UseIntegrateTimer, platform::REG_DWORD, dword(0));
    store(norvale::assistant::settings::IntegrateTime, platform::REG_DWORD, dword(90));
    kSaved.apply();
    SaveSettings();
    LoadSettings();
    EXPECT_EQ(stored(norvale::assistant::settings::UseIntegrateTimer).second, dword(0));
    EXPECT_EQ(stored(norvale::assistant::settings::IntegrateTime).second, dword(90));
}

TEST_F(ModMain, ADamagedStoreGivesDefaultsAndRefusesEveryWrite)
{
    QTemporaryDir dir;
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    QDir().mkpath(dir.path() + QStringLiteral("/norvale"));
    const QByteArray junk = QByteArray("settings? ").repeated(500);
    {
        QFile f(platform::databasePath(platform::HKEY_CURRENT_USER));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(junk);
    }
    EXPECT_EQ(LoadSettings().size(), 12) << "a damaged store passed for a first start";
    EXPECT_EQ(Snapshot::take(), kDefaults);
    kSaved.apply();
    EXPECT_EQ(SaveSettings().size(), 12) << "a write to a damaged store was reported as done";
    QFile f(platform::databasePath(platform::HKEY_CURRENT_USER));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), junk);
    qputenv("XDG_CONFIG_HOME", saved);
}
