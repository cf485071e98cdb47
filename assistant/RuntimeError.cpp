#include "assistant/RuntimeError.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace norvale::assistant
{

QString programName()
{
    const QString path = QCoreApplication::instance()
                             ? QCoreApplication::applicationFilePath()
                             : QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return QFileInfo(path).completeBaseName();
}

void raiseRuntimeError(int32_t number)
{
    const QString text = number == errOverflow ? QStringLiteral("Overflow")
                         : number == errTypeMismatch
                             ? QStringLiteral("Type mismatch")
                             : QStringLiteral("Run-time error %1").arg(number);
    throw platform::AutomationError(number, programName(), text);
}

} // namespace norvale::assistant
