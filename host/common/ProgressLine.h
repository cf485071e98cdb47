#pragma once
// One line of progress on standard error, rewritten in place while a job
// runs, and ended by a line break so that what follows starts on a line of
// its own. Nothing is written unless the line is wanted (a terminal).
#include <QString>
#include <cstdio>

namespace norvale::host
{

class ProgressLine
{
public:
    // Whether standard error is a terminal of its own: rows written to the
    // same terminal (on standard output) would tear the line apart.
    static bool wanted(bool rowsToStandardOutput = false);

    explicit ProgressLine(bool enabled, std::FILE *to = stderr) : m_enabled(enabled), m_to(to) {}
    ~ProgressLine() { finish(); }
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    bool enabled() const { return m_enabled; }
    // Replaces the line's text.
    void show(const QString &text);
    // Ends the line, when one is shown; the next show starts a new one.
    void finish();

private:
    bool m_enabled;
    std::FILE *m_to;
    bool m_shown = false;
};

} // namespace norvale::host
