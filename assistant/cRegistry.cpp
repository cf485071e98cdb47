#include "assistant/cRegistry.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <cmath>

Q_LOGGING_CATEGORY(lcCRegistry, "norvale.cRegistry")

namespace norvale::assistant
{

namespace
{

// Rights asked for when a key is created or opened for change (all six key rights).
constexpr uint32_t KeyAllRights = 0x3F;

// The text form of a value, as the settings and the error messages show it.
QString variantText(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        return QString();
    case QMetaType::QString:
        return v.toString();
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QMetaType::Double:
    case QMetaType::Float: {
        QLocale locale;
        locale.setNumberOptions(QLocale::OmitGroupSeparator);
        const double d = v.toDouble();
        const double a = std::fabs(d);
        // Plain digits for the magnitudes people read; exponent form beyond them.
        return locale.toString(d, a == 0 || (a >= 1e-5 && a < 1e15) ? 'f' : 'e',
                               QLocale::FloatingPointShortest);
    }
    case QMetaType::QByteArray:
        return QString::fromUtf8(v.toByteArray());
    default:
        return v.toString();
    }
}

bool isSmallInteger(const QVariant &v)
{
    return v.typeId() == QMetaType::Short || v.typeId() == QMetaType::Int;
}

QByteArray littleEndian(uint32_t v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

uint32_t fromLittleEndian(const QByteArray &b)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | uint8_t(b[i]);
    return v;
}

// Registry text, read without its terminating NUL.
QString storedText(QByteArray data)
{
    // A value of size 0 is the empty text; data written without a NUL keeps its
    // last character.
    if (data.endsWith('\0'))
        data.chop(1);
    return QString::fromUtf8(data);
}

} // namespace

QString cRegistry::errorSource()
{
    QString path = QCoreApplication::instance()
                       ? QCoreApplication::applicationFilePath()
                       : QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return QFileInfo(path).completeBaseName() + QStringLiteral(".cRegistry");
}

QString cRegistry::expandEnvironmentStrings(const QString &text)
{
    QString result;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype open = text.indexOf(QLatin1Char('%'), i);
        if (open < 0) {
            result += text.mid(i);
            break;
        }
        result += text.mid(i, open - i);
        const qsizetype close = text.indexOf(QLatin1Char('%'), open + 1);
        if (close < 0) {
            result += text.mid(open);
            break;
        }
        const QString name = text.mid(open + 1, close - open - 1);
        if (!name.isEmpty() && qEnvironmentVariableIsSet(name.toLocal8Bit().constData()))
            result += qEnvironmentVariable(name.toLocal8Bit().constData());
        else
            result += text.mid(open, close - open + 1);
        i = close + 1;
    }
    return result;
}

void cRegistry::raise(int32_t number, const QString &description) const
{
    throw platform::AutomationError(number, errorSource(), description);
}

QString cRegistry::setFailure(const QVariant &v) const
{
    return QStringLiteral("Failed to set registry value Key: '") + QString::number(m_classKey) +
           QStringLiteral("',Section: '") + m_sectionKey + QStringLiteral("',Key: '") + m_valueKey +
           QStringLiteral("' to value: '") + variantText(v) + QStringLiteral("'");
}

QVariant cRegistry::Value()
{
    platform::Key key;
    if (platform::openKey(platform::Root(m_classKey), m_sectionKey, platform::KEY_QUERY_VALUE,
                          key) != platform::ERROR_SUCCESS)
        return m_default;
    uint32_t type = 0;
    QByteArray data;
    // One read gives type and data together, so a value changed by another
    // process in between cannot be cut short.
    const platform::Result r = platform::readValue(key, m_valueKey, &type, &data);
    if (r != platform::ERROR_SUCCESS && r != platform::ERROR_MORE_DATA)
        return m_default;
    const bool dword = type == platform::REG_DWORD || type == platform::REG_DWORD_BIG_ENDIAN;
    if (dword && data.size() != 4)
        return m_default; // not a number the store would have written
    m_valueType = int32_t(type);
    switch (type) {
    case platform::REG_SZ:
    case platform::REG_MULTI_SZ:
        return storedText(data);
    case platform::REG_EXPAND_SZ:
        return expandEnvironmentStrings(storedText(data));
    case platform::REG_DWORD:
        return int32_t(fromLittleEndian(data));
    case platform::REG_DWORD_BIG_ENDIAN: {
        const uint32_t v = fromLittleEndian(data);
        return int32_t((v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24));
    }
    default:
        return data;
    }
}

void cRegistry::setValue(const QVariant &v)
{
    platform::Key key;
    if (platform::createKey(platform::Root(m_classKey), m_sectionKey, KeyAllRights, key) !=
        platform::ERROR_SUCCESS)
        raise(ErrFailed, setFailure(v));
    platform::Result r = platform::ERROR_SUCCESS;
    switch (m_valueType) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        const QString s = variantText(v);
        // A %reference% decides the stored type, whatever ValueType said.
        const qsizetype first = s.indexOf(QLatin1Char('%'));
        const bool expand = first >= 0 && s.indexOf(QLatin1Char('%'), first + 2) >= 0;
        QByteArray data = s.toUtf8();
        data.append('\0');
        r = platform::setValue(key, m_valueKey, expand ? platform::REG_EXPAND_SZ : platform::REG_SZ,
                               data);
        break;
    }
    case REG_BINARY:
        if (v.typeId() != QMetaType::QByteArray)
            raise(ErrFailed, QString());
        r = platform::setValue(key, m_valueKey, platform::REG_BINARY, v.toByteArray());
        break;
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (isSmallInteger(v))
            r = platform::setValue(key, m_valueKey, platform::REG_DWORD,
                                   littleEndian(uint32_t(v.toInt())));
        else
            qCWarning(lcCRegistry)
                << "not written, not a 16- or 32-bit integer:" << m_valueKey << v;
        break;
    default:
        r = platform::ERROR_INVALID_DATA;
        break;
    }
    if (r != platform::ERROR_SUCCESS)
        raise(ErrSetValue, setFailure(v));
    m_lastValue = v;
}

bool cRegistry::KeyExists() const
{
    platform::Key key;
    return platform::openKey(platform::Root(m_classKey), m_sectionKey, platform::KEY_QUERY_VALUE,
                             key) == platform::ERROR_SUCCESS;
}

bool cRegistry::CreateKey()
{
    platform::Key key;
    if (platform::createKey(platform::Root(m_classKey), m_sectionKey, KeyAllRights, key) !=
        platform::ERROR_SUCCESS)
        raise(ErrFailed, QStringLiteral("Failed to create registry Key: '") + m_sectionKey);
    return true;
}

bool cRegistry::DeleteKey()
{
    if (platform::deleteKey(platform::Root(m_classKey), m_sectionKey) != platform::ERROR_SUCCESS)
        raise(ErrFailed, QStringLiteral("Failed to delete registry Key: '") +
                             QString::number(m_classKey) + QStringLiteral("',Section: '") +
                             m_sectionKey);
    return true;
}

bool cRegistry::DeleteValue()
{
    platform::Key key;
    if (platform::openKey(platform::Root(m_classKey), m_sectionKey, KeyAllRights, key) !=
        platform::ERROR_SUCCESS)
        raise(ErrFailed, QStringLiteral("Failed to open key '") + QString::number(m_classKey) +
                             QStringLiteral("',Section: '") + m_sectionKey +
                             QStringLiteral("' for delete access"));
    if (platform::deleteValue(key, m_valueKey) != platform::ERROR_SUCCESS)
        raise(ErrFailed, QStringLiteral("Failed to delete registry Key: '") +
                             QString::number(m_classKey) + QStringLiteral("',Section: '") +
                             m_sectionKey + QStringLiteral("',Key: '") + m_valueKey);
    return true;
}

bool cRegistry::EnumerateValues(QStringList &sKeyNames, int32_t &iKeyCount)
{
    iKeyCount = 0;
    sKeyNames.clear();
    platform::Key key;
    if (platform::openKey(platform::Root(m_classKey), m_sectionKey, platform::KEY_QUERY_VALUE,
                          key) != platform::ERROR_SUCCESS)
        return true;
    platform::KeyInfo info;
    if (platform::queryInfoKey(key, &info) != platform::ERROR_SUCCESS)
        return true;
    bool retried = false;
    for (uint32_t i = 0;;) {
        QString name;
        uint32_t capacity = info.maxValueNameLength + 1;
        const platform::Result r = platform::enumValue(key, i, &name, &capacity);
        // A longer name written meanwhile by another process: learn the new length once.
        if (r == platform::ERROR_MORE_DATA && !retried &&
            platform::queryInfoKey(key, &info) == platform::ERROR_SUCCESS) {
            retried = true;
            continue;
        }
        if (r != platform::ERROR_SUCCESS)
            break;
        sKeyNames << name;
        ++iKeyCount;
        ++i;
    }
    return true;
}

bool cRegistry::EnumerateSections(QStringList &sSect, int32_t &iSectCount)
{
    iSectCount = 0;
    sSect.clear();
    platform::Key key;
    try {
        if (platform::openKey(platform::Root(m_classKey), m_sectionKey,
                              platform::KEY_ENUMERATE_SUB_KEYS, key) != platform::ERROR_SUCCESS)
            return true;
        QString name;
        for (uint32_t i = 0; platform::enumKey(key, i, &name) == platform::ERROR_SUCCESS; ++i) {
            sSect << name.left(platform::MaxKeyNameLength);
            ++iSectCount;
        }
    } catch (const std::exception &e) {
        key.close();
        raise(ErrEnumerate, QString::fromUtf8(e.what()));
    }
    return true;
}

void cRegistry::WriteClassValue(const QString &t)
{
    const QString section = m_sectionKey;
    m_classKey = HKEY_CLASSES_ROOT;
    setValue(t);
    m_classKey = HKEY_LOCAL_MACHINE;
    m_sectionKey = QStringLiteral("SOFTWARE\\Classes\\") + section;
    try {
        setValue(t);
    } catch (...) {
        m_sectionKey = section;
        throw;
    }
    m_sectionKey = section;
}

void cRegistry::CreateEXEAssociation(const QString &sExePath, const QString &sClassName,
                                     const QString &sClassDescription, const QString &sAssociation,
                                     const QString &sOpenMenuText, bool bSupportPrint,
                                     const QString &sPrintMenuText, bool bSupportNew,
                                     const QString &sNewMenuText, bool bSupportInstall,
                                     const QString &sInstallMenuText, int32_t lDefaultIconIndex)
{
    QString path = sExePath.trimmed();
    if (!path.startsWith(QLatin1Char('"')))
        path.prepend(QLatin1Char('"'));
    if (!path.endsWith(QLatin1Char('"')) || path.size() == 1)
        path.append(QLatin1Char('"'));
    const auto orDefault = [](const QString &text, const QString &fallback) {
        return text.isEmpty() ? fallback : text;
    };
    const auto write = [this](const QString &section, const QString &text) {
        m_sectionKey = section;
        WriteClassValue(text);
    };
    m_valueType = REG_SZ;
    m_valueKey = QString();
    const QString shell = sClassName + QStringLiteral("\\shell\\");

    write(QLatin1Char('.') + sAssociation, sClassName);
    write(sClassName, sClassDescription);
    write(shell + QStringLiteral("open"), orDefault(sOpenMenuText, QStringLiteral("&Open")));
    write(shell + QStringLiteral("open\\command"), path + QStringLiteral(" \"%1\""));
    if (bSupportPrint) {
        write(shell + QStringLiteral("print"), orDefault(sPrintMenuText, QStringLiteral("&Print")));
        write(shell + QStringLiteral("print\\command"), path + QStringLiteral(" /p \"%1\""));
    }
    if (bSupportInstall) {
        write(shell + QStringLiteral("add"),
              orDefault(sInstallMenuText, QStringLiteral("&Install ") + sAssociation));
        write(shell + QStringLiteral("add\\command"), path + QStringLiteral(" /a \"%1\""));
    }
    if (bSupportNew) {
        write(shell + QStringLiteral("new"), orDefault(sNewMenuText, QStringLiteral("&New")));
        write(shell + QStringLiteral("new\\command"), path + QStringLiteral(" /n \"%1\""));
    }
    if (lDefaultIconIndex >= 0)
        write(sClassName + QStringLiteral("\\DefaultIcon"),
              path + QLatin1Char(',') + QString::number(lDefaultIconIndex));
}

void cRegistry::CreateAdditionalEXEAssociations(const QString &sClassName,
                                                const QVariantList &vItems)
{
    if (vItems.size() % 3 != 0)
        raise(ErrInvalidList, QStringLiteral("Invalid parameter list passed to "
                                             "CreateAdditionalEXEAssociations - expected "
                                             "Name/Text/Command"));
    platform::Key key;
    if (platform::openKey(platform::Root(m_classKey), sClassName, platform::KEY_QUERY_VALUE, key) !=
        platform::ERROR_SUCCESS)
        raise(ErrNoClass, QStringLiteral("Error - attempt to create additional associations "
                                         "before class defined."));
    key.close();
    m_valueKey = QString();
    for (qsizetype i = 0; i + 2 < vItems.size(); i += 3) {
        const QString section = sClassName + QStringLiteral("\\shell\\") + variantText(vItems[i]);
        m_valueType = REG_SZ;
        m_sectionKey = section;
        WriteClassValue(variantText(vItems[i + 1]));
        m_sectionKey = section + QStringLiteral("\\command");
        WriteClassValue(variantText(vItems[i + 2]));
    }
}

} // namespace norvale::assistant
