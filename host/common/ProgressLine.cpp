#include "host/common/ProgressLine.h"

#include <unistd.h>

namespace norvale::host
{

bool ProgressLine::wanted(bool rowsToStandardOutput)
{
    return ::isatty(STDERR_FILENO) == 1 && !(rowsToStandardOutput && ::isatty(STDOUT_FILENO) == 1);
}

void ProgressLine::show(const QString &text)
{
    if (!m_enabled)
        return;
    // Back to the start of the line, the text, and the rest of the old text erased.
    const QByteArray line = '\r' + text.toLocal8Bit() + "\x1b[K";
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_to);
    std::fflush(m_to);
    m_shown = true;
}

void ProgressLine::finish()
{
    if (!m_shown)
        return;
    std::fputc('\n', m_to);
    std::fflush(m_to);
    m_shown = false;
}

} // namespace norvale::host
