#pragma once
// The sampling interval and length of a logging run as kest721 log takes them
// on its command line (--interval 5, --length 2h), checked against the bounds
// of the Logging Properties dialog with its own texts. Pure, for tests.
#include <QString>
#include <cstdint>
#include <optional>

namespace norvale::host
{

// A length of "until-stopped" is stored as the longest run the Assistant's
// clock can time; a report shows such a run as lasting until stopped.
struct RunTimes {
    std::optional<int32_t> intervalSeconds;
    std::optional<int32_t> lengthSeconds;
};

// Reads --interval S: whole seconds, at least 1. Returns the reason when the
// text is refused.
std::optional<QString> parseInterval(const QString &text, int32_t *seconds);

// Reads --length: a whole number with s, m, h or d (90s, 10m, 2h, 1d), or
// until-stopped.
std::optional<QString> parseLength(const QString &text, int32_t *seconds);

// The dialog's last check, with the stored value standing in for the one not
// given: the sample time must be less than the total time.
std::optional<QString> checkRunTimes(int32_t intervalSeconds, int32_t lengthSeconds);

// Whether a stored length means "until stopped".
bool untilStopped(int64_t lengthSeconds);

// "2 h", "1 d 3 h", "90 s", or "until stopped".
QString lengthText(int64_t seconds);

} // namespace norvale::host
