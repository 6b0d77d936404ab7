#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <optional>
#include <vector>

class QThread;

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
    QList<qint64> sizes; ///< each name's size in bytes
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
    /// SQLite's result code of the last failure; 0 when it came from no SQLite call.
    int lastErrorCode() const { return m_lastCode; }
    QString connectionName() const { return m_connection; }

    /// A recording run is one transaction: its rows are stored all together or not at all.
    /// Starting one waits up to the write wait while another connection is writing.
    bool beginRun();
    /// Appends a file row to the run (or alone, outside a run).
    bool appendFileRow(const FileRow& row);
    /// Appends rows in order; on a failure an unknown number of them may be in the run.
    bool appendFileRows(const FileRow* rows, size_t count);
    bool commitRun();
    /// Drops the rows of the run; also what the destructor does with an unfinished run.
    void rollbackRun();
    /// Hands the connection to another thread, as a run on a worker needs (Qt refuses a
    /// connection to any thread but its own). Call it from the thread that has it.
    void moveToThread(QThread* thread);

    /// Waits for another writer as beginRun() does.
    bool appendLogRow(const QString& folder, const QDateTime& when);

    /// Another Korvane may hold the file for the length of a whole recording; the writes of a
    /// recording wait this long for it (milliseconds) before they give up.
    static constexpr int kDefaultWriteWaitMs = 30000;
    void setWriteWait(int ms) { m_writeWaitMs = ms; }

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
    bool fail(const QString& message, int code = 0);
    /// Runs `write` with the longer wait for other writers instead of the connection's own.
    template <typename Write> bool waitingForWriters(Write write);

    QString m_connection;
    QString m_lastError;
    int m_lastCode = 0;
    int m_writeWaitMs = kDefaultWriteWaitMs;
    bool m_inRun = false;
    bool m_readOnly = false;
    struct Statements;
    Statements* m_statements = nullptr;
};

/// The sentence a window shows when a command meets a database failure.
QString failureText(const FileDatabase& db, const QString& path);
/// "无法保存记录: " and the reason in Chinese, with the engine's words in brackets.
QString storeFailureText(const FileDatabase& db, const QString& path);

} // namespace korvane::recorder
