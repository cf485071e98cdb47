#pragma once
// The one error type of the system: an automation error with a number, a
// source and a description. Servers raise it, the bus carries its three
// parts, clients rebuild it.
#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace norvale::platform
{

// Base of the numbers that servers give to their own errors.
inline constexpr int32_t vbObjectError = static_cast<int32_t>(0x80040000u);

class AutomationError : public std::exception {
public:
    AutomationError(int32_t number, QString source, QString description);

    int32_t number() const noexcept { return m_number; }
    const QString &source() const noexcept { return m_source; }
    const QString &description() const noexcept { return m_description; }
    const char *what() const noexcept override { return m_what.c_str(); }

    // "number\nsource\ndescription": the form in which the error crosses the bus.
    QString toMessage() const;
    // Rebuilds an error from toMessage(); a text that is not in that form
    // becomes an error of `fallbackSource` carrying the whole text.
    static AutomationError fromMessage(const QString &message, int32_t fallbackNumber,
                                       const QString &fallbackSource);

private:
    int32_t m_number;
    QString m_source;
    QString m_description;
    std::string m_what;
};

} // namespace norvale::platform
