#pragma once
// Numbers and durations as the hosts take them on their command lines. Pure,
// for tests.
#include <QString>
#include <cstdint>
#include <optional>

namespace norvale::host
{

// A whole number as a user means one: digits with an optional sign, no
// spaces, no exponent, no hexadecimal ("1e3", "0x10" and " 5" are refused),
// at most 18 digits.
std::optional<int64_t> wholeNumber(const QString &text);

// A duration as typed: a whole number, optionally followed by a unit of s,
// m, h or d ("90", "90s", "10 m", "2H"); spaces around it are dropped.
struct Duration {
    int64_t count = 0;       // as typed; a number longer than 18 digits is INT64_MAX / 1000
    int64_t unitSeconds = 1; // 1, 60, 3600 or 86400
    bool unitGiven = false;

    // In seconds, or nullopt when beyond `limit` seconds.
    std::optional<int64_t> seconds(int64_t limit) const;
};
std::optional<Duration> readDuration(const QString &text);

} // namespace norvale::host
