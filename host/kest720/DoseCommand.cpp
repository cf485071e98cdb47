// kest720-cli dose SECONDS: the dose integrated over SECONDS.
#include "host/kest720/Commands.h"

#include <QElapsedTimer>

namespace norvale::host
{

Ending runDose(const Job &job)
{
    control::kest720Proxy &k = job.meter;
    const qint64 seconds = job.request.seconds;
    const control::TYPE_UNITS units = k.Units();
    emitLine(QStringLiteral("seconds,dose,unit"));
    k.StartIntegrate();
    QElapsedTimer clock;
    clock.start();
    Wait().run(seconds * 1000);
    // Interrupted, it reports the dose integrated so far, over the time it ran.
    const double elapsed = static_cast<double>(clock.elapsed()) / 1000.0;
    const double d = k.GetDose();
    emitLine(
        QStringLiteral("%1,%2,%3")
            .arg(stopAsked() ? elapsed : static_cast<double>(seconds), 0, 'f', stopAsked() ? 1 : 0)
            .arg(d)
            .arg(units == control::unitSv ? QStringLiteral("uSv") : QStringLiteral("mR")));
    return Ending::Done;
}

} // namespace norvale::host
