#include "host/kest721/TableWriter.h"

#include "host/common/Csv.h"

#include <QFile>
#include <QTextStream>
#include <cstdio>
#include <map>
#include <xlsxwriter.h>

namespace norvale::host
{

namespace
{

class CsvWriter : public TableWriter
{
public:
    explicit CsvWriter(const QString &path) : m_path(path), m_file(path)
    {
        const bool opened = path.isEmpty()
                                ? m_file.open(stdout, QIODevice::WriteOnly)
                                : m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        if (!opened)
            throw OutputError(
                QStringLiteral("%1: %2").arg(shownPath(), m_file.errorString()).toStdString());
    }
    ~CsvWriter() override
    {
        try {
            close();
        } catch (const OutputError &) {
        }
    }
    void header(const QStringList &names) override { line(names); }
    void live(const LiveRow &row) override { line(liveFields(row)); }
    void download(const DownloadRow &row) override { line(downloadFields(row)); }
    void close() override
    {
        if (!m_file.isOpen())
            return;
        const bool flushed = m_file.flush();
        m_file.close();
        if (!flushed)
            fail();
    }

private:
    QString shownPath() const
    {
        return m_path.isEmpty() ? QStringLiteral("standard output") : m_path;
    }
    [[noreturn]] void fail()
    {
        throw OutputError(
            QStringLiteral("%1: %2").arg(shownPath(), m_file.errorString()).toStdString());
    }
    void line(const QStringList &fields)
    {
        if (!m_file.isOpen())
            return;
        // Each row reaches the file at once: a run cut short keeps every row.
        const QByteArray bytes = (csvLine(fields) + u'\n').toUtf8();
        if (m_file.write(bytes) != bytes.size() || !m_file.flush())
            fail();
    }

    QString m_path;
    QFile m_file;
};

class XlsxWriter : public TableWriter
{
public:
    XlsxWriter(const QString &path, const QString &sheetName) : m_path(path)
    {
        QFile probe(path);
        if (!probe.open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw OutputError(
                QStringLiteral("%1: %2").arg(path, probe.errorString()).toStdString());
        probe.close();
        const QByteArray file = path.toLocal8Bit();
        lxw_workbook_options options{};
        // Rows go to a temporary file as they come, so a long run does not
        // grow in memory.
        options.constant_memory = LXW_TRUE;
        m_book = workbook_new_opt(file.constData(), &options);
        const QByteArray sheet = sheetName.toUtf8();
        m_sheet = m_book ? workbook_add_worksheet(m_book, sheet.constData()) : nullptr;
        if (!m_sheet)
            throw OutputError(
                QStringLiteral("%1: cannot start a workbook").arg(path).toStdString());
        m_bold = workbook_add_format(m_book);
        format_set_bold(m_bold);
        m_date = workbook_add_format(m_book);
        format_set_num_format(m_date, "yyyy-mm-dd hh:mm:ss");
    }
    ~XlsxWriter() override
    {
        try {
            close();
        } catch (const OutputError &) {
        }
    }
    void header(const QStringList &names) override
    {
        if (!m_book)
            return;
        for (int c = 0; c < names.size(); ++c) {
            const QByteArray text = names.at(c).toUtf8();
            worksheet_write_string(m_sheet, m_row, lxw_col_t(c), text.constData(), m_bold);
        }
        worksheet_set_column(m_sheet, 0, 0, names.value(0) == u"time" ? 20 : 10, nullptr);
        worksheet_set_column(m_sheet, 1, lxw_col_t(names.size() - 1), 12, nullptr);
        ++m_row;
    }
    void live(const LiveRow &row) override
    {
        if (!m_book)
            return;
        // The time is the Assistant's own date number: a date cell as is.
        worksheet_write_number(m_sheet, m_row, 0, row.timeStamp, m_date);
        worksheet_write_number(m_sheet, m_row, 1, row.value, fill(row.alarmColor));
        text(2, row.unit);
        text(3, alarmColorName(row.alarmColor));
        ++m_row;
    }
    void download(const DownloadRow &row) override
    {
        if (!m_book)
            return;
        worksheet_write_number(m_sheet, m_row, 0, row.record, nullptr);
        worksheet_write_number(m_sheet, m_row, 1, singleText(row.degreesC).toDouble(), nullptr);
        worksheet_write_number(m_sheet, m_row, 2, row.value, nullptr);
        text(3, row.unit);
        ++m_row;
    }
    void details(const QList<std::pair<QString, QString>> &fields) override
    {
        if (!m_book)
            return;
        lxw_worksheet *sheet = workbook_add_worksheet(m_book, "Run");
        if (!sheet)
            return;
        worksheet_set_column(sheet, 0, 0, 26, nullptr);
        worksheet_set_column(sheet, 1, 1, 60, nullptr);
        for (qsizetype r = 0; r < fields.size(); ++r) {
            const QByteArray label = fields[r].first.toUtf8();
            const QByteArray value = fields[r].second.toUtf8();
            worksheet_write_string(sheet, lxw_row_t(r), 0, label.constData(), m_bold);
            worksheet_write_string(sheet, lxw_row_t(r), 1, value.constData(), nullptr);
        }
    }
    void close() override
    {
        if (!m_book)
            return;
        lxw_workbook *book = m_book;
        m_book = nullptr;
        m_sheet = nullptr;
        const lxw_error e = workbook_close(book);
        if (e != LXW_NO_ERROR)
            throw OutputError(QStringLiteral("%1: %2")
                                  .arg(m_path, QString::fromUtf8(lxw_strerror(e)))
                                  .toStdString());
    }

private:
    void text(lxw_col_t col, const QString &s)
    {
        const QByteArray bytes = s.toUtf8();
        worksheet_write_string(m_sheet, m_row, col, bytes.constData(), nullptr);
    }
    // One format per colour met; a system colour leaves the cell unfilled.
    lxw_format *fill(int32_t oleColor)
    {
        const std::optional<uint32_t> rgb = rgbOfOleColor(oleColor);
        if (!rgb)
            return nullptr;
        auto found = m_fills.find(*rgb);
        if (found != m_fills.end())
            return found->second;
        lxw_format *f = workbook_add_format(m_book);
        format_set_pattern(f, LXW_PATTERN_SOLID);
        // 0x000000 means "no colour" to the library; black has its own value.
        format_set_bg_color(f, *rgb == 0 ? lxw_color_t(LXW_COLOR_BLACK) : *rgb);
        const uint32_t r = *rgb >> 16, g = (*rgb >> 8) & 0xFF, b = *rgb & 0xFF;
        // The number stays readable on a dark fill.
        if (r * 299 + g * 587 + b * 114 < 128000)
            format_set_font_color(f, LXW_COLOR_WHITE);
        m_fills.emplace(*rgb, f);
        return f;
    }

    QString m_path;
    lxw_workbook *m_book = nullptr;
    lxw_worksheet *m_sheet = nullptr;
    lxw_format *m_bold = nullptr;
    lxw_format *m_date = nullptr;
    std::map<uint32_t, lxw_format *> m_fills;
    lxw_row_t m_row = 0;
};

} // namespace

std::unique_ptr<TableWriter> openCsv(const QString &path)
{
    return std::make_unique<CsvWriter>(path);
}

std::unique_ptr<TableWriter> openXlsx(const QString &path, const QString &sheetName)
{
    return std::make_unique<XlsxWriter>(path, sheetName);
}

void TableWriters::details(const QList<std::pair<QString, QString>> &fields)
{
    for (auto &w : m_writers)
        w->details(fields);
}

void TableWriters::header(const QStringList &names)
{
    for (auto &w : m_writers)
        w->header(names);
}

void TableWriters::live(const LiveRow &row)
{
    for (auto &w : m_writers)
        w->live(row);
}

void TableWriters::download(const DownloadRow &row)
{
    for (auto &w : m_writers)
        w->download(row);
}

void TableWriters::close()
{
    std::optional<OutputError> first;
    for (auto &w : m_writers) {
        try {
            w->close();
        } catch (const OutputError &e) {
            if (!first)
                first = e;
        }
    }
    if (first)
        throw *first;
}

} // namespace norvale::host
