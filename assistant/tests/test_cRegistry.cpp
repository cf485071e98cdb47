#include "assistant/cRegistry.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <functional>
#include <gtest/gtest.h>

using norvale::assistant::cRegistry;
using norvale::platform::AutomationError;
namespace platform = norvale::platform;

namespace
{

constexpr int32_t HKCU = cRegistry::HKEY_CURRENT_USER;

// Every test works below a key of its own, removed before it starts.
class CRegistry : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_section = QStringLiteral("Software\\Tests\\") + QString::fromLatin1(info->name());
        platform::deleteTree(platform::HKEY_CURRENT_USER, m_section);
        platform::deleteTree(platform::HKEY_CLASSES_ROOT, QStringLiteral("NorvaleTest.Doc"));
        platform::deleteTree(platform::HKEY_CLASSES_ROOT, QStringLiteral(".nvt"));
        platform::deleteTree(platform::HKEY_LOCAL_MACHINE, QStringLiteral("SOFTWARE\\Classes"));
        r.setClassKey(HKCU);
        r.setSectionKey(m_section);
    }

    // Puts raw data into the store, bypassing the wrapper's type rules.
    void store(const QString &name, uint32_t type, const QByteArray &data)
    {
        platform::Key key;
        ASSERT_EQ(platform::createKey(platform::HKEY_CURRENT_USER, m_section,
                                      platform::KEY_ALL_ACCESS, key),
                  platform::ERROR_SUCCESS);
        ASSERT_EQ(platform::setValue(key, name, type, data), platform::ERROR_SUCCESS);
    }
    // The raw data in the store; type 0xFFFF when there is no such value.
    std::pair<uint32_t, QByteArray> stored(const QString &name, int32_t root = HKCU,
                                           QString section = QString())
    {
        platform::Key key;
        uint32_t type = 0xFFFF;
        QByteArray data;
        if (platform::openKey(platform::Root(root), section.isNull() ? m_section : section,
                              platform::KEY_QUERY_VALUE, key) == platform::ERROR_SUCCESS)
            platform::readValue(key, name, &type, &data);
        return {type, data};
    }

    // What the file-type registration left under a class root.
    std::pair<uint32_t, QByteArray> classes(const QString &section)
    {
        return stored(QString(), cRegistry::HKEY_CLASSES_ROOT, section);
    }
    std::pair<uint32_t, QByteArray> machineClasses(const QString &section)
    {
        return stored(QString(), cRegistry::HKEY_LOCAL_MACHINE,
                      QStringLiteral("SOFTWARE\\Classes\\") + section);
    }

    cRegistry r;
    QString m_section;
};

QByteArray bytes(const char *s, int n)
{
    return QByteArray(s, n);
}

// A text as the store holds it: UTF-8 with its NUL.
QByteArray sz(const QString &text)
{
    return text.toUtf8().append('\0');
}

} // namespace

TEST_F(CRegistry, ReadsStoredDataByItsType)
{
    qputenv("NORVALE_TEST_DIR", "/srv/norvale");
    qunsetenv("NORVALE_UNDEFINED");
    struct Case {
        const char *legend;
        uint32_t type;
        QByteArray data;
        QVariant expected;
    };
    const Case cases[] = {
        {"text", platform::REG_SZ, sz("2.5"), QStringLiteral("2.5")},
        {"text of stored size 0", platform::REG_SZ, QByteArray(), QString()},
        {"text that is only its NUL", platform::REG_SZ, sz(""), QString()},
        {"text written without a NUL", platform::REG_SZ, "abc", QStringLiteral("abc")},
        {"text in UTF-8", platform::REG_SZ, bytes("\xC2\xB5Sv/h\0", 7), QStringLiteral("µSv/h")},
        {"multi-string keeps inner NULs", platform::REG_MULTI_SZ, bytes("a\0bc\0\0", 6),
         QString::fromLatin1("a\0bc\0", 5)},
        {"multi-string of size 0", platform::REG_MULTI_SZ, QByteArray(), QString()},
        {"expanded reference", platform::REG_EXPAND_SZ, sz("%NORVALE_TEST_DIR%/log"),
         QStringLiteral("/srv/norvale/log")},
        {"unknown reference stays", platform::REG_EXPAND_SZ, sz("%NORVALE_UNDEFINED%/x"),
         QStringLiteral("%NORVALE_UNDEFINED%/x")},
        {"lone per-cent sign", platform::REG_EXPAND_SZ, sz("100% %NORVALE_TEST_DIR"),
         QStringLiteral("100% %NORVALE_TEST_DIR")},
        {"dword", platform::REG_DWORD, bytes("\xff\x00\x00\x00", 4), QVariant(int32_t(255))},
        {"negative dword", platform::REG_DWORD, bytes("\xfe\xff\xff\xff", 4),
         QVariant(int32_t(-2))},
        {"big-endian dword reversed", platform::REG_DWORD_BIG_ENDIAN, bytes("\x00\x00\x01\x02", 4),
         QVariant(int32_t(0x0102))},
        {"binary", platform::REG_BINARY, bytes("\0\x01\xff", 3), QVariant(bytes("\0\x01\xff", 3))},
        {"qword as bytes", platform::REG_QWORD, bytes("\x01\0\0\0\0\0\0\0", 8),
         QVariant(bytes("\x01\0\0\0\0\0\0\0", 8))},
    };
    for (const Case &c : cases) {
        store(QString::fromLatin1(c.legend), c.type, c.data);
        r.setValueKey(QString::fromLatin1(c.legend));
        r.setValueType(0);
        r.setDefault(QStringLiteral("default"));
        const QVariant v = r.Value();
        EXPECT_EQ(v.typeId(), c.expected.typeId()) << c.legend;
        EXPECT_EQ(v, c.expected) << c.legend;
        EXPECT_EQ(r.ValueType(), int32_t(c.type)) << c.legend;
    }
}

TEST_F(CRegistry, MissingValuesGiveTheDefaultAndKeepTheType)
{
    store(QStringLiteral("there"), platform::REG_DWORD, bytes("\x01\0\0\0", 4));
    struct Case {
        const char *legend;
        int32_t root;
        QString section;
        QString value;
    };
    const Case cases[] = {
        {"missing value", HKCU, m_section, QStringLiteral("nothing")},
        {"missing key", HKCU, m_section + QStringLiteral("\\Nothing"), QStringLiteral("there")},
        {"no root set", 0, m_section, QStringLiteral("there")},
        {"value name of another key", HKCU, QStringLiteral("Software"), QStringLiteral("there")},
    };
    for (const Case &c : cases) {
        r.setClassKey(c.root);
        r.setSectionKey(c.section);
        r.setValueKey(c.value);
        r.setValueType(cRegistry::REG_BINARY);
        r.setDefault(QVariant::fromValue<int16_t>(60));
        const QVariant v = r.Value();
        EXPECT_EQ(v.typeId(), QMetaType::Short) << c.legend;
        EXPECT_EQ(v.toInt(), 60) << c.legend;
        EXPECT_EQ(r.ValueType(), cRegistry::REG_BINARY) << c.legend;
    }
}

TEST_F(CRegistry, WritesByValueTypeAndTheTextItHolds)
{
    struct Case {
        const char *legend;
        int32_t valueType;
        QVariant v;
        uint32_t storedType; // 0xFFFF: nothing written
        QByteArray storedData;
    };
    const Case cases[] = {
        {"text", cRegistry::REG_SZ, QStringLiteral("2,5"), platform::REG_SZ, sz("2,5")},
        {"empty text", cRegistry::REG_SZ, QString(), platform::REG_SZ, sz("")},
        {"text in UTF-8", cRegistry::REG_SZ, QStringLiteral("Größe"), platform::REG_SZ,
         sz("Größe")},
        {"reference between per-cent signs", cRegistry::REG_SZ, QStringLiteral("%HOME%\\x"),
         platform::REG_EXPAND_SZ, bytes("%HOME%\\x\0", 9)},
        {"shortest reference", cRegistry::REG_SZ, QStringLiteral("%a%"), platform::REG_EXPAND_SZ,
         sz("%a%")},
        {"single per-cent sign", cRegistry::REG_SZ, QStringLiteral("50%"), platform::REG_SZ,
         sz("50%")},
        {"adjacent per-cent signs only", cRegistry::REG_SZ, QStringLiteral("a%%b"),
         platform::REG_SZ, sz("a%%b")},
        {"expandable type without reference", cRegistry::REG_EXPAND_SZ, QStringLiteral("plain"),
         platform::REG_SZ, sz("plain")},
        {"number as text", cRegistry::REG_SZ, QVariant(int32_t(42)), platform::REG_SZ, sz("42")},
        {"large double as plain digits", cRegistry::REG_SZ, QVariant(1e6), platform::REG_SZ,
         sz("1000000")},
        {"32-bit integer", cRegistry::REG_DWORD, QVariant(int32_t(16711680)), platform::REG_DWORD,
         bytes("\0\0\xff\0", 4)},
        {"negative 16-bit integer", cRegistry::REG_DWORD, QVariant::fromValue<int16_t>(-1),
         platform::REG_DWORD, bytes("\xff\xff\xff\xff", 4)},
        {"big-endian type stores little-endian", cRegistry::REG_DWORD_BIG_ENDIAN,
         QVariant(int32_t(0x01020304)), platform::REG_DWORD, bytes("\x04\x03\x02\x01", 4)},
        {"double with dword type", cRegistry::REG_DWORD, QVariant(2.5), 0xFFFF, QByteArray()},
        {"64-bit integer with dword type", cRegistry::REG_DWORD, QVariant(qint64(1)), 0xFFFF,
         QByteArray()},
        {"bytes", cRegistry::REG_BINARY, QVariant(bytes("\0\x80\xff", 3)), platform::REG_BINARY,
         bytes("\0\x80\xff", 3)},
    };
    for (const Case &c : cases) {
        r.setValueKey(QString::fromLatin1(c.legend));
        r.setValueType(c.valueType);
        EXPECT_NO_THROW(r.setValue(c.v)) << c.legend;
        const auto [type, data] = stored(QString::fromLatin1(c.legend));
        EXPECT_EQ(type, c.storedType) << c.legend;
        EXPECT_EQ(data, c.storedData) << c.legend;
        EXPECT_EQ(r.ValueType(), c.valueType) << c.legend << ": a write changed ValueType";
    }
}

TEST_F(CRegistry, RaisesItsErrorsWithTheirTexts)
{
    const QString s = m_section;
    store(QStringLiteral("v"), platform::REG_SZ, sz("x"));
    platform::Key child;
    platform::createKey(platform::HKEY_CURRENT_USER, s + QStringLiteral("\\Child"),
                        platform::KEY_ALL_ACCESS, child);
    const QString deleteKey =
        QStringLiteral("Failed to delete registry Key: '-2147483647',Section: '");
    const QString setKey = QStringLiteral("Failed to set registry value Key: '");
    const int32_t setValue = int32_t(0x800469A9u); // the numbers clients compare against
    using Act = std::function<void(cRegistry &)>;
    auto write = [](int32_t root, const char *name, int32_t type, const QVariant &v) -> Act {
        return [=](cRegistry &c) {
            c.setClassKey(root);
            c.setValueKey(QString::fromLatin1(name));
            c.setValueType(type);
            c.setValue(v);
        };
    };
    auto associate = [](int32_t root, const QVariantList &items) -> Act {
        return [=](cRegistry &c) {
            c.setClassKey(root);
            c.CreateAdditionalEXEAssociations(QStringLiteral("NorvaleTest.Doc"), items);
        };
    };
    struct Case {
        const char *legend;
        Act act;
        int32_t number;
        QString description;
    };
    const Case cases[] = {
        {"create under no root", [](cRegistry &c) { c.setClassKey(0), c.CreateKey(); }, 26001,
         QStringLiteral("Failed to create registry Key: '") + s},
        {"delete a key with subkeys", [](cRegistry &c) { c.DeleteKey(); }, 26001, deleteKey + s},
        {"delete a value of a missing key",
         [&](cRegistry &c) { c.setSectionKey(s + "\\None"), c.DeleteValue(); }, 26001,
         "Failed to open key '-2147483647',Section: '" + s + "\\None' for delete access"},
        {"delete a missing value", [](cRegistry &c) { c.setValueKey("none"), c.DeleteValue(); },
         26001, deleteKey + s + "',Key: 'none"},
        {"write under no root",
         write(0, "ComPort", cRegistry::REG_DWORD, QVariant::fromValue<int16_t>(5)), 26001,
         setKey + "0',Section: '" + s + "',Key: 'ComPort' to value: '5'"},
        {"write with type 0", write(HKCU, "x", 0, QStringLiteral("abc")), setValue,
         setKey + "-2147483647',Section: '" + s + "',Key: 'x' to value: 'abc'"},
        {"write with type 6", write(HKCU, "x", 6, int32_t(1)), setValue,
         setKey + "-2147483647',Section: '" + s + "',Key: 'x' to value: '1'"},
        {"binary that is no byte array",
         write(HKCU, "x", cRegistry::REG_BINARY, QStringLiteral("bytes?")),
         26001,
         {}},
        {"four association items", associate(HKCU, {"a", "b", "c", "d"}), int32_t(0x800469ACu),
         "Invalid parameter list passed to CreateAdditionalEXEAssociations - expected "
         "Name/Text/Command"},
        {"associations before the class", associate(cRegistry::HKEY_CLASSES_ROOT, {"a", "b", "c"}),
         int32_t(0x800469ADu),
         "Error - attempt to create additional associations before class defined."},
    };
    const QString source =
        QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() + ".cRegistry";
    for (const Case &c : cases) {
        cRegistry fresh;
        fresh.setClassKey(HKCU);
        fresh.setSectionKey(s);
        try {
            c.act(fresh);
            ADD_FAILURE() << c.legend << ": nothing raised";
        } catch (const AutomationError &e) {
            EXPECT_EQ(e.number(), c.number) << c.legend;
            EXPECT_EQ(e.description(), c.description) << c.legend;
            EXPECT_EQ(e.source(), source) << c.legend;
        }
    }
}

TEST_F(CRegistry, CreatesChecksAndDeletesKeysAndValues)
{
    r.setSectionKey(m_section + QStringLiteral("\\A\\B"));
    EXPECT_FALSE(r.KeyExists());
    EXPECT_TRUE(r.CreateKey());
    EXPECT_TRUE(r.KeyExists());
    r.setValueKey(QStringLiteral("v"));
    r.setValueType(cRegistry::REG_SZ);
    r.setValue(QStringLiteral("x"));
    EXPECT_TRUE(r.DeleteValue());
    r.setDefault(QStringLiteral("gone"));
    EXPECT_EQ(r.Value(), QVariant(QStringLiteral("gone")));
    EXPECT_TRUE(r.DeleteKey());
    EXPECT_FALSE(r.KeyExists());
    r.setSectionKey(m_section + QStringLiteral("\\A"));
    EXPECT_TRUE(r.KeyExists()) << "the key above a deleted one went too";
}

TEST_F(CRegistry, EnumeratesSectionsAndValues)
{
    for (const char *sub : {"Three", "one", "Two"}) {
        r.setSectionKey(m_section + QStringLiteral("\\") + QLatin1String(sub));
        r.CreateKey();
    }
    r.setSectionKey(m_section);
    r.setValueType(cRegistry::REG_DWORD);
    for (const char *name : {"ComPort", "ColorAckNormal"}) {
        r.setValueKey(QLatin1String(name));
        r.setValue(int32_t(1));
    }
    QStringList names = {"stale"};
    int32_t count = 99;
    EXPECT_TRUE(r.EnumerateSections(names, count));
    EXPECT_EQ(count, 3);
    EXPECT_EQ(names, QStringList({"one", "Three", "Two"}));
    EXPECT_TRUE(r.EnumerateValues(names, count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(names, QStringList({"ComPort", "ColorAckNormal"}));

    r.setSectionKey(m_section + QStringLiteral("\\Missing"));
    EXPECT_TRUE(r.EnumerateSections(names, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(names.isEmpty());
    names = {"stale"};
    EXPECT_TRUE(r.EnumerateValues(names, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(names.isEmpty());
}

TEST_F(CRegistry, RegistersAFileTypeUnderBothClassRoots)
{
    r.CreateEXEAssociation(QStringLiteral("  /opt/norvale/bin/viewer "),
                           QStringLiteral("NorvaleTest.Doc"), QStringLiteral("Survey log"),
                           QStringLiteral("nvt"), QString(), true, QString(), true,
                           QStringLiteral("&Fresh"), true, QString(), 2);
    EXPECT_EQ(r.ClassKey(), cRegistry::HKEY_LOCAL_MACHINE);
    const QString path = QStringLiteral("\"/opt/norvale/bin/viewer\"");
    struct Expect {
        QString section;
        QString text;
    };
    const Expect expected[] = {
        {".nvt", "NorvaleTest.Doc"},
        {"NorvaleTest.Doc", "Survey log"},
        {"NorvaleTest.Doc\\shell\\open", "&Open"},
        {"NorvaleTest.Doc\\shell\\open\\command", path + " \"%1\""},
        {"NorvaleTest.Doc\\shell\\print", "&Print"},
        {"NorvaleTest.Doc\\shell\\print\\command", path + " /p \"%1\""},
        {"NorvaleTest.Doc\\shell\\add", "&Install nvt"},
        {"NorvaleTest.Doc\\shell\\add\\command", path + " /a \"%1\""},
        {"NorvaleTest.Doc\\shell\\new", "&Fresh"},
        {"NorvaleTest.Doc\\shell\\new\\command", path + " /n \"%1\""},
        {"NorvaleTest.Doc\\DefaultIcon", path + ",2"},
    };
    for (const Expect &e : expected) {
        EXPECT_EQ(classes(e.section), std::make_pair(platform::REG_SZ, sz(e.text)))
            << qPrintable(e.section);
        EXPECT_EQ(machineClasses(e.section).second, sz(e.text)) << qPrintable(e.section);
    }

    r.setClassKey(cRegistry::HKEY_CLASSES_ROOT);
    r.CreateAdditionalEXEAssociations(QStringLiteral("NorvaleTest.Doc"),
                                      {"export", "&Export", path + " /e \"%1\""});
    EXPECT_EQ(classes("NorvaleTest.Doc\\shell\\export\\command").second, sz(path + " /e \"%1\""));
    EXPECT_EQ(machineClasses("NorvaleTest.Doc\\shell\\export").second, sz("&Export"));
}

TEST_F(CRegistry, AQuotedPathIsNotQuotedTwiceAndNoIconIsOptional)
{
    r.CreateEXEAssociation(QStringLiteral("\"/opt/x y/viewer\""), QStringLiteral("NorvaleTest.Doc"),
                           QStringLiteral("Doc"), QStringLiteral("nvt"));
    EXPECT_EQ(classes("NorvaleTest.Doc\\shell\\open\\command").second,
              sz("\"/opt/x y/viewer\" \"%1\""));
    EXPECT_EQ(classes("NorvaleTest.Doc\\DefaultIcon").first, 0xFFFFu);
    EXPECT_EQ(classes("NorvaleTest.Doc\\shell\\print").first, 0xFFFFu);
}
