// kest720-cli info: the meter's model, serial number, settings and range table.
#include "host/common/MeterNames.h"
#include "host/kest720/Commands.h"

namespace norvale::host
{

Ending runInfo(const Job &job)
{
    static const char *const modeButton[] = {"disabled", "integrate", "freeze"};
    control::kest720Proxy &k = job.meter;
    const control::Ranges ranges = k.Ranges();
    const int alarmRange = k.AlarmRange();
    const int mode = k.ModeButton();
    const QString model = modelName(k.Model());
    emitLine(QStringLiteral("Model: %1").arg(model.isEmpty() ? QStringLiteral("unknown") : model));
    emitLine(QStringLiteral("Serial number: %1").arg(k.SerialNumber()));
    emitLine(QStringLiteral("Units: %1 (%2)")
                 .arg(QLatin1String(unitName(k.Units())), k.Units() == control::unitSv
                                                              ? QStringLiteral("sievert")
                                                              : QStringLiteral("roentgen")));
    QString alarm =
        QStringLiteral("Blink alarm: %1% of range %2").arg(k.AlarmPercent()).arg(alarmRange);
    if (alarmRange >= 1 && alarmRange <= ranges.Count())
        alarm += QStringLiteral(" (%1)").arg(ranges.Item(alarmRange).Display);
    emitLine(alarm);
    emitLine(QStringLiteral("Data-log interval (sample rate): %1 s").arg(k.SampleRate()));
    emitLine(QStringLiteral("Clear log: %1")
                 .arg(k.ClearLogSetting() == control::clearlogIntegrateReset
                          ? QStringLiteral("integrate-reset")
                          : QStringLiteral("turn-on")));
    emitLine(QStringLiteral("Mode button: %1")
                 .arg(QLatin1String(mode >= 0 && mode <= 2 ? modeButton[mode] : "unknown")));
    emitLine(QStringLiteral("Ranges: %1").arg(ranges.Count()));
    int i = 1;
    for (const control::Range &r : ranges) {
        // The last entry turns the blink alarm off and has no scale.
        if (r.ScaleNumber > 0)
            emitLine(QStringLiteral("  %1: %2 (command %3, full scale %4 %5)")
                         .arg(i)
                         .arg(r.Display)
                         .arg(r.CommandIndex)
                         .arg(static_cast<double>(r.ScaleNumber))
                         .arg(r.ScaleUnits));
        else
            emitLine(
                QStringLiteral("  %1: %2 (command %3)").arg(i).arg(r.Display).arg(r.CommandIndex));
        ++i;
    }
    emitLine(QStringLiteral("Start-up took: %1 s").arg(job.startupMs / 1000.0, 0, 'f', 2));
    return Ending::Done;
}

} // namespace norvale::host
