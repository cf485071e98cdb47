// The Assistant's text-to-number conversions, fed with texts a host can send:
// each gives a finite number or raises one of its documented errors.
#include "assistant/RuntimeError.h"
#include "assistant/modCalc.h"

#include <QLocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace
{
void mustBeFinite(double v)
{
    if (!std::isfinite(v))
        std::abort();
}

template <typename F> void expectOnly(int32_t allowed, F f)
{
    try {
        f();
    } catch (const norvale::platform::AutomationError &e) {
        if (e.number() != allowed)
            std::abort();
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace norvale::assistant;
    if (size == 0)
        return 0;
    // The first byte picks the user's locale: point or comma decimals.
    static const QLocale locales[] = {QLocale::c(), QLocale(QLocale::German, QLocale::Germany),
                                      QLocale(QLocale::English, QLocale::UnitedStates),
                                      QLocale(QLocale::French, QLocale::Switzerland)};
    QLocale::setDefault(locales[data[0] % 4]);
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1),
                                           static_cast<qsizetype>(size - 1));

    expectOnly(errOverflow, [&] { mustBeFinite(modCalc::LeadingNumber(text)); });
    expectOnly(errOverflow, [&] { mustBeFinite(modCalc::ParseScaleValue(text)); });
    expectOnly(errTypeMismatch, [&] { mustBeFinite(modCalc::ParseScaleText(text)); });
    mustBeFinite(modCalc::ToAlarmUnits(1.5, text));

    double v = 0;
    if (modCalc::LocaleToDouble(text, &v) && std::isfinite(v)) {
        // The text the Assistant writes for a number reads back as that number.
        double back = 0;
        if (!modCalc::LocaleToDouble(modCalc::NumberText(v), &back) || back != v)
            std::abort();
    }
    return 0;
}
