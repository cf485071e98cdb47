// kest720-cli set NAME VALUE: one setting, kept in the meter.
#include "host/common/Numbers.h"
#include "host/kest720/Commands.h"

#include <vector>

namespace norvale::host
{

namespace
{

struct Word {
    const char *text;
    int value;
};

struct SettingRule {
    const char *name;
    int lo, hi;              // for numbers
    std::vector<Word> words; // the words `info` prints, with their numbers
    const char *allowed;     // how the refusal states what is allowed
};

const std::vector<SettingRule> &settingRules()
{
    static const std::vector<SettingRule> rules = {
        {"AlarmRange", 1, 6, {}, "1 to 6"},
        {"AlarmPercent", 0, 99, {}, "0 to 99"},
        {"SampleRate", 1, 255, {}, "1 to 255"},
        {"Units", 1, 2, {{"R", control::unitR}, {"Sv", control::unitSv}}, "R or Sv"},
        {"ClearLogSetting",
         0,
         1,
         {{"turn-on", control::clearlogTurnOnOnly},
          {"integrate-reset", control::clearlogIntegrateReset}},
         "turn-on or integrate-reset"},
        {"ModeButton",
         0,
         2,
         {{"disabled", control::modebuttonDisabled},
          {"integrate", control::modebuttonIntegrate},
          {"freeze", control::modebuttonFreeze}},
         "disabled, integrate or freeze"},
    };
    return rules;
}

} // namespace

std::optional<QString> parseSetting(const QStringList &arguments, Request &request)
{
    const QString &name = arguments.at(0);
    const QString &value = arguments.at(1);
    QStringList names;
    for (const SettingRule &rule : settingRules()) {
        names << QString::fromLatin1(rule.name);
        if (name.compare(QLatin1String(rule.name), Qt::CaseInsensitive) != 0)
            continue;
        const QString ruleName = QString::fromLatin1(rule.name);
        for (const Word &w : rule.words)
            if (value.compare(QLatin1String(w.text), Qt::CaseInsensitive) == 0) {
                request.setting = Setting{ruleName, w.value, value};
                return std::nullopt;
            }
        const std::optional<int64_t> n = wholeNumber(value);
        if (n && *n >= rule.lo && *n <= rule.hi) {
            request.setting = Setting{ruleName, static_cast<int>(*n), value};
            return std::nullopt;
        }
        return QStringLiteral("%1 must be %2, not '%3'")
            .arg(ruleName, QLatin1String(rule.allowed), value);
    }
    return QStringLiteral("unknown setting '%1' (one of %2)")
        .arg(name, names.join(QStringLiteral(", ")));
}

Ending runSet(const Job &job)
{
    control::kest720Proxy &k = job.meter;
    const Setting &s = job.request.setting;
    if (s.name == u"AlarmRange")
        k.setAlarmRange(static_cast<int16_t>(s.value));
    else if (s.name == u"AlarmPercent")
        k.setAlarmPercent(static_cast<int16_t>(s.value));
    else if (s.name == u"SampleRate")
        k.setSampleRate(static_cast<int16_t>(s.value));
    else if (s.name == u"Units")
        k.setUnits(static_cast<control::TYPE_UNITS>(s.value));
    else if (s.name == u"ClearLogSetting")
        k.setClearLogSetting(static_cast<control::TYPE_CLEARLOG>(s.value));
    else if (s.name == u"ModeButton")
        k.setModeButton(static_cast<control::TYPE_MODEBUTTON>(s.value));
    // Stored in the meter's non-volatile memory at once, so the change
    // survives a power cycle whatever the meter does with the final "E".
    k.WriteToEEPROM();
    emitLine(QStringLiteral("%1 set to %2").arg(s.name, s.typed));
    return Ending::Done;
}

} // namespace norvale::host
