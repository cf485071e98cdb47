#pragma once
// cRegistry: the registry at a current location. The caller sets a root
// (ClassKey), a key path (SectionKey) and a value name (ValueKey), then reads or
// writes Value. Failures are raised as norvale::platform::AutomationError with the source
// "<program>.cRegistry".
#include "platform/AutomationError.h"
#include "platform/registry/RegistryStore.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <cstdint>

namespace norvale::assistant
{

class cRegistry
{
public:
    static constexpr int32_t HKEY_CLASSES_ROOT = int32_t(platform::HKEY_CLASSES_ROOT);
    static constexpr int32_t HKEY_CURRENT_USER = int32_t(platform::HKEY_CURRENT_USER);
    static constexpr int32_t HKEY_LOCAL_MACHINE = int32_t(platform::HKEY_LOCAL_MACHINE);

    static constexpr int32_t REG_SZ = 1;
    static constexpr int32_t REG_EXPAND_SZ = 2;
    static constexpr int32_t REG_BINARY = 3;
    static constexpr int32_t REG_DWORD = 4;
    static constexpr int32_t REG_DWORD_BIG_ENDIAN = 5;
    static constexpr int32_t REG_MULTI_SZ = 7;

    // Numbers of the errors raised here.
    static constexpr int32_t ErrFailed = 26001;
    static constexpr int32_t ErrSetValue = platform::vbObjectError + 1048 + 26001;
    static constexpr int32_t ErrEnumerate = platform::vbObjectError + 1048 + 26002;
    static constexpr int32_t ErrInvalidList = platform::vbObjectError + 1048 + 26004;
    static constexpr int32_t ErrNoClass = platform::vbObjectError + 1048 + 26005;

    int32_t ClassKey() const { return m_classKey; }
    void setClassKey(int32_t eKey) { m_classKey = eKey; }
    const QString &SectionKey() const { return m_sectionKey; }
    void setSectionKey(const QString &sSectionKey) { m_sectionKey = sSectionKey; }
    const QString &ValueKey() const { return m_valueKey; }
    void setValueKey(const QString &sValueKey) { m_valueKey = sValueKey; }
    // The type the next write uses; each successful read sets it to the type found.
    int32_t ValueType() const { return m_valueType; }
    void setValueType(int32_t eValueType) { m_valueType = eValueType; }
    // What a read returns when the value cannot be read.
    const QVariant &Default() const { return m_default; }
    void setDefault(const QVariant &vDefault) { m_default = vDefault; }

    // A REG_SZ or REG_MULTI_SZ value reads as a QString (a multi-string keeps
    // its inner NUL separators), REG_EXPAND_SZ as the expanded QString, REG_DWORD
    // and REG_DWORD_BIG_ENDIAN as an int (32-bit), anything else as a QByteArray.
    QVariant Value();
    // Writes at the current location by ValueType: 1 or 2 write the text of v
    // (REG_EXPAND_SZ when it holds a %reference%), 3 a QByteArray, 4 or 5 a
    // 16- or 32-bit integer as REG_DWORD; a v of another kind for 4 or 5 writes nothing.
    void setValue(const QVariant &v);

    bool KeyExists() const;
    bool CreateKey();
    bool DeleteKey();
    bool DeleteValue();
    // Names go to the lists from their first element on; the counts say how many.
    bool EnumerateValues(QStringList &sKeyNames, int32_t &iKeyCount);
    bool EnumerateSections(QStringList &sSect, int32_t &iSectCount);

    // Registers a file type for a program: the class, its extension, and the
    // shell verbs open (always), print, add and new, under HKEY_CLASSES_ROOT and
    // HKEY_LOCAL_MACHINE\SOFTWARE\Classes. Empty menu texts take the usual
    // captions; a negative icon index writes no icon.
    void CreateEXEAssociation(const QString &sExePath, const QString &sClassName,
                              const QString &sClassDescription, const QString &sAssociation,
                              const QString &sOpenMenuText = QString(), bool bSupportPrint = false,
                              const QString &sPrintMenuText = QString(), bool bSupportNew = false,
                              const QString &sNewMenuText = QString(), bool bSupportInstall = false,
                              const QString &sInstallMenuText = QString(),
                              int32_t lDefaultIconIndex = -1);
    // vItems: triples of verb name, menu text and command.
    void CreateAdditionalEXEAssociations(const QString &sClassName, const QVariantList &vItems);

    // "<program file name without extension>.cRegistry"
    static QString errorSource();
    // %NAME% references replaced from the environment; unknown ones stay as written.
    static QString expandEnvironmentStrings(const QString &text);

private:
    [[noreturn]] void raise(int32_t number, const QString &description) const;
    QString setFailure(const QVariant &v) const;
    void WriteClassValue(const QString &t);

    int32_t m_classKey = 0;
    QString m_sectionKey;
    QString m_valueKey;
    int32_t m_valueType = 0;
    QVariant m_default;
    QVariant m_lastValue;
};

} // namespace norvale::assistant
