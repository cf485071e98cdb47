#include "platform/registry/RegistryStore.h"
#include "platform/registry/tests/RegistryTestSupport.h"

#include <QDir>
#include <QProcess>

using namespace norvale::platform;

namespace
{

struct ToolRun {
    int exit = -1;
    QString out;
    QString err;
};

ToolRun tool(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(NORVALE_REG_PATH), args);
    ToolRun r;
    if (!p.waitForFinished(30000))
        return r;
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

class NorvaleReg : public FreshConfig
{
};

} // namespace

TEST_F(NorvaleReg, WritesWhatTheStoreReadsBack)
{
    struct Case {
        const char *legend;
        QStringList write; // type and data
        uint32_t type;
        QByteArray stored;
        QString shown; // in `read` output
    };
    const Case cases[] = {
        {"text", {"REG_SZ", "2,5"}, REG_SZ, raw("2,5\0"), "REG_SZ    2,5"},
        {"empty text", {"reg_sz", ""}, REG_SZ, raw("\0"), "REG_SZ    \n"},
        {"dword", {"REG_DWORD", "65535"}, REG_DWORD, raw("\xff\xff\0\0"), "0x0000ffff (65535)"},
        {"hex dword", {"REG_DWORD", "0xFF0000"}, REG_DWORD, raw("\0\0\xff\0"), "(16711680)"},
        {"negative", {"REG_DWORD", "--", "-1"}, REG_DWORD, raw("\xff\xff\xff\xff"), "0xffffffff"},
        {"binary", {"REG_BINARY", "00 ff,10"}, REG_BINARY, raw("\0\xff\x10"), "00 ff 10"},
        {"multi-string", {"REG_MULTI_SZ", "a\\0b"}, REG_MULTI_SZ, raw("a\0b\0\0"), "a\\0b"},
    };
    Key key;
    for (const Case &c : cases) {
        QStringList args = {"write", "HKCU\\Software\\Norvale\\721", c.legend};
        if (c.write.size() == 3)
            args = QStringList{"write",  "--",       "HKCU\\Software\\Norvale\\721",
                               c.legend, c.write[0], c.write[2]};
        else
            args << c.write;
        const ToolRun w = tool(args);
        ASSERT_EQ(w.exit, 0) << c.legend << ": " << w.err.toStdString();
        ASSERT_EQ(openKey(HKEY_CURRENT_USER, "Software\\Norvale\\721", KEY_READ, key),
                  ERROR_SUCCESS);
        uint32_t type = 0;
        QByteArray data;
        EXPECT_EQ(readValue(key, c.legend, &type, &data), ERROR_SUCCESS) << c.legend;
        EXPECT_EQ(type, c.type) << c.legend;
        EXPECT_EQ(data, c.stored) << c.legend;
        const ToolRun r = tool({"read", "hkey_current_user\\software\\norvale\\721", c.legend});
        EXPECT_EQ(r.exit, 0) << c.legend;
        EXPECT_TRUE(r.out.contains(c.shown)) << c.legend << ": " << r.out.toStdString();
    }
    const ToolRun q = tool({"query", "HKCU\\Software\\Norvale\\721"});
    EXPECT_EQ(q.exit, 0);
    EXPECT_TRUE(q.out.startsWith("HKEY_CURRENT_USER\\Software\\Norvale\\721\n"));
    for (const Case &c : cases)
        EXPECT_TRUE(q.out.contains(QLatin1String(c.legend))) << c.legend;
}

TEST_F(NorvaleReg, RefusesWrongUseAndExplainsFailures)
{
    ASSERT_EQ(tool({"write", "HKCU\\Software\\T", "v", "REG_SZ", "x"}).exit, 0);
    struct Case {
        const char *legend;
        const char *args; // between blanks
        int exit;
        const char *message; // in stdout for 0, stderr otherwise
    };
    const Case cases[] = {
        {"help", "--help", 0, "query  KEY"},
        {"where", "where hklm", 0, "/norvale/HKEY_LOCAL_MACHINE.db"},
        {"list", "list HKCU\\Software", 0, "T\n"},
        {"no command", "", 2, "no command"},
        {"unknown command", "frobnicate", 2, "unknown command"},
        {"no root", "query Software\\T", 2, "'Software\\T' does not begin"},
        {"backslashes lost to the shell", "query HKCUSoftwareT", 2,
         "'HKCUSoftwareT' has no backslash after HKCU: quote the key"},
        {"too few arguments", "read HKCU\\Software\\T", 2, "read takes 2 argument(s)"},
        {"unknown type", "write HKCU\\Software\\T v REG_TEXT x", 2, "unknown type"},
        {"dword too big", "write HKCU\\Software\\T v REG_DWORD 4294967296", 2,
         "'4294967296' is not data"},
        {"dword not a number", "write HKCU\\Software\\T v REG_DWORD 12abc", 2,
         "'12abc' is not data"},
        {"odd hex digits", "write HKCU\\Software\\T v REG_BINARY abc", 2, "'abc' is not data"},
        {"missing key", "query HKCU\\Software\\None", 1,
         "no key HKEY_CURRENT_USER\\Software\\None"},
        {"delete a missing value", "delete HKCU\\Software\\T none", 1,
         "no value 'none' under HKEY_CURRENT_USER\\Software\\T"},
        {"key with subkeys", "delete-key HKCU\\Software", 1,
         "HKEY_CURRENT_USER\\Software has subkeys; use --tree"},
        {"delete value", "delete HKCU\\Software\\T V", 0, ""},
        {"deleted value", "read HKCU\\Software\\T v", 1, "no value 'v' under"},
        {"delete tree", "delete-key --tree HKCU\\Software", 0, ""},
        {"deleted tree", "list HKCU\\Software", 1, "no key"},
    };
    for (const Case &c : cases) {
        const ToolRun r = tool(QString::fromLatin1(c.args).split(' ', Qt::SkipEmptyParts));
        EXPECT_EQ(r.exit, c.exit) << c.legend << ": " << r.err.toStdString();
        // A failure is told on the first line; output may hold more.
        const QString &text = c.exit == 0 ? r.out : r.err;
        EXPECT_TRUE(c.exit == 0 ? text.contains(QLatin1String(c.message))
                                : text.startsWith(QStringLiteral("norvale-reg: ") +
                                                  QLatin1String(c.message)))
            << c.legend << ": " << text.toStdString();
    }
}

TEST_F(NorvaleReg, NamesADamagedFileWithoutTouchingIt)
{
    const QString path = databasePath(HKEY_CURRENT_USER);
    QDir().mkpath(configDir() + QStringLiteral("/norvale"));
    const QByteArray junk = QByteArray("\x00\x01 not a database ", 19).repeated(300);
    writeFile(path, junk);
    const ToolRun r = tool({"write", "HKCU\\Software\\Norvale\\721", "ComPort", "REG_DWORD", "1"});
    EXPECT_EQ(r.exit, 1);
    EXPECT_TRUE(r.err.contains(QLatin1String("corrupt"))) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(path)) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QLatin1String("left as it is"))) << r.err.toStdString();
    EXPECT_EQ(fileBytes(path), junk);
}
