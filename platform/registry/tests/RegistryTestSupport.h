#pragma once
// A private configuration folder per test, so that every test starts with no
// registry files and leaves none behind.
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// The bytes of a literal, NULs inside included, without the one that ends it.
template <qsizetype N> QByteArray raw(const char (&s)[N])
{
    return QByteArray(s, N - 1);
}

class FreshConfig : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
    }
    void TearDown() override { qputenv("XDG_CONFIG_HOME", m_saved); }

    QString configDir() const { return m_dir.path(); }

    static QByteArray fileBytes(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_saved;
};
