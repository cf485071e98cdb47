#pragma once
// Where kest721 puts its rows: a CSV file or standard output, written and
// flushed row by row, and an xlsx workbook with real date cells and the
// alarm colour as the fill of the value cell. A workbook is only a valid file
// once closed, so every way out of the program closes it.
#include "host/kest721/Rows.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <stdexcept>
#include <vector>

namespace norvale::host
{

// A file that cannot be created or written.
class OutputError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class TableWriter
{
public:
    virtual ~TableWriter() = default;
    virtual void header(const QStringList &names) = 0;
    virtual void live(const LiveRow &row) = 0;
    virtual void download(const DownloadRow &row) = 0;
    // The run's details (label, value) where the format has room for them:
    // a sheet "Run" of a workbook; CSV has none.
    virtual void details(const QList<std::pair<QString, QString>> &) {}
    // Completes the file; later rows are not written. Throws OutputError.
    virtual void close() = 0;
};

// CSV to a file, or to standard output when the path is empty.
std::unique_ptr<TableWriter> openCsv(const QString &path);
// An xlsx workbook with one sheet of that name. The file is created empty at
// once, so that a path that cannot be written fails before a run begins.
std::unique_ptr<TableWriter> openXlsx(const QString &path, const QString &sheetName);

// Every row to each of several writers.
class TableWriters : public TableWriter
{
public:
    void add(std::unique_ptr<TableWriter> w) { m_writers.push_back(std::move(w)); }
    void header(const QStringList &names) override;
    void live(const LiveRow &row) override;
    void download(const DownloadRow &row) override;
    void details(const QList<std::pair<QString, QString>> &fields) override;
    // Closes them all, the later ones also when an earlier one fails.
    void close() override;

private:
    std::vector<std::unique_ptr<TableWriter>> m_writers;
};

} // namespace norvale::host
