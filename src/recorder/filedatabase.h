#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <optional>
#include <vector>

namespace korvane::recorder {

/// One row of `fileInf`; a value that could not be read stays empty (stored as null).
struct FileRow {
    std::optional<QString> name;
    std::optional<QString> type;
    std::optional<qint64> size;
    std::optional<QDateTime> modified;
    std::optional<QString> shortName;
};

/// The rows of `log` as stored, with the table's column names for a header.
struct LogListing {
    QStringList columns;
    struct Row {
        QVariant folder;  ///< text or null
        QVariant logtime; ///< QDateTime (local) or null
    };
    std::vector<Row> rows;
};

/// Names found by a size search, in table order. `ok` is false when the search stopped on an
/// error (no database, a row without a name); `names` then holds what was found before it.
struct SizeSearch {
    QStringList names;
    bool ok = true;
};

enum class Table { FileInf, Log };

/// The recorder's database "db1.mdb": one connection of one window, opened on an existing
/// database file only (it is never created here, and a file that is not a database, such as a
/// zero-length one, is not opened at all). A file or folder the user cannot write is opened
/// read-only: lookups work, writes fail. Every operation fails cleanly when the connection could
/// not be opened. Values are always bound, never spliced into SQL.
class FileDatabase {
public:
    explicit FileDatabase(const QString& path);
    ~FileDatabase();
    FileDatabase(const FileDatabase&) = delete;
    FileDatabase& operator=(const FileDatabase&) = delete;

    bool isOpen() const;
    /// Opened read-only because the file or its folder cannot be written.
    bool isReadOnly() const { return m_readOnly; }
    /// The driver's text for the last failure.
    QString lastError() const { return m_lastError; }
    QString connectionName() const { return m_connection; }

    /// A recording run is one transaction: its rows are stored all together or not at all.
    bool beginRun();
    /// Appends a file row to the run (or alone, outside a run).
    bool appendFileRow(const FileRow& row);
    bool commitRun();
    /// Drops the rows of the run; also what the destructor does with an unfinished run.
    void rollbackRun();

    bool appendLogRow(const QString& folder, const QDateTime& when);

    /// Names of the rows whose size lies within [lower, upper], in table order.
    SizeSearch findNamesInSizeRange(double lower, double upper);
    /// Null when the table cannot be read.
    std::optional<bool> isEmpty(Table table);
    bool deleteAllRows(Table table);
    /// Deletes the oldest `log` row; true also when there was none.
    bool deleteFirstLogRow();
    std::optional<LogListing> listLog();

    /// The text form of a date-time column: ISO-8601 local time to the second ("2024-02-29 23:05:09").
    static QString dateTimeText(const QDateTime& when);
    static QDateTime dateTimeFromText(const QString& text);

private:
    bool exec(const QString& sql);
    bool fail(const QString& message);

    QString m_connection;
    QString m_lastError;
    bool m_inRun = false;
    bool m_readOnly = false;
    struct Statements;
    Statements* m_statements = nullptr;
};

/// The sentence a window shows when a command meets a database failure.
QString failureText(const FileDatabase& db, const QString& path);

} // namespace korvane::recorder
