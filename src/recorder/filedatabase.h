#pragma once

#include "platform/filesystem.h"
#include "platform/status.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <array>
#include <memory>
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

/// A file row in the form the table stores it: text as UTF-8 (a null array stores null), the
/// date as local time text. A recording makes these on its preparing threads, so that storing a
/// row is binding and stepping alone.
struct StoredRow {
    QByteArray name;
    QByteArray type;
    std::optional<qint64> size;
    std::optional<std::array<char, 19>> modified; ///< "2024-02-29 23:05:09"
    QByteArray shortName;
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

/// Names found by a size search, in table order. `status` is a failure when the search stopped
/// on an error (no database, a row without a name); `names` then holds what was found before it.
struct SizeSearch {
    QStringList names;
    QList<qint64> sizes; ///< each name's size in bytes
    platform::Status status;
};

enum class Table { FileInf, Log };

/// The recorder's database "db1.mdb": one connection of one window, opened on an existing
/// database file only (it is never created here, and a file that is not a database, such as a
/// zero-length one, is not opened at all). A file or folder the user cannot write is opened
/// read-only: lookups work, writes fail. Every operation fails cleanly when the connection could
/// not be opened. Values are always bound, never spliced into SQL. A failure SQLite reports
/// carries SQLite's primary result code as its engineCode().
class FileDatabase {
public:
    explicit FileDatabase(const QString& path);
    /// The file named by these bytes, which need not be UTF-8, on the local file system.
    explicit FileDatabase(const platform::NativePath& path);
    /// The same, looked at and checked through `fs` before SQLite opens it.
    FileDatabase(const platform::NativePath& path, platform::FileSystem& fs);
    ~FileDatabase();
    FileDatabase(const FileDatabase&) = delete;
    FileDatabase& operator=(const FileDatabase&) = delete;

    bool isOpen() const;
    /// Why the connection could not be opened; success when it is open.
    const platform::Status& openStatus() const { return m_openStatus; }
    /// Opened read-only because the file or its folder cannot be written.
    bool isReadOnly() const { return m_readOnly; }
    QString connectionName() const { return m_connection; }

    /// A recording run is one transaction: its rows are stored all together or not at all.
    /// Starting one waits up to the write wait while another connection is writing.
    platform::Status beginRun();
    /// Appends a file row to the run (or alone, outside a run).
    platform::Status appendFileRow(const FileRow& row);
    /// Appends rows in order; on a failure an unknown number of them may be in the run.
    platform::Status appendFileRows(const StoredRow* rows, size_t count);
    static StoredRow storedForm(const FileRow& row);
    /// A modification time (seconds since the epoch) as the table stores it, in local time;
    /// nullopt when it has no four-digit year.
    static std::optional<std::array<char, 19>> storedDateTime(qint64 secsSinceEpoch);
    platform::Status commitRun();
    /// Drops the rows of the run; also what the destructor does with an unfinished run.
    void rollbackRun();
    /// Hands the connection to another thread, as a run on a worker needs (Qt refuses a
    /// connection to any thread but its own). Call it from the thread that has it.
    void moveToThread(QThread* thread);

    /// Waits for another writer as beginRun() does.
    platform::Status appendLogRow(const QString& folder, const QDateTime& when);

    /// Another Korvane may hold the file for the length of a whole recording; the writes of a
    /// recording wait this long for it (milliseconds) before they give up.
    static constexpr int kDefaultWriteWaitMs = 30000;
    void setWriteWait(int ms) { m_writeWaitMs = ms; }

    /// Names of the rows whose size lies within [lower, upper], in table order.
    SizeSearch findNamesInSizeRange(double lower, double upper);
    /// The distinct names of the rows of exactly this size, in the order first recorded.
    platform::Result<QStringList> namesOfSize(qint64 size);
    /// The distinct folders of the log, the most recently logged first.
    platform::Result<QStringList> loggedFolders();
    platform::Result<bool> isEmpty(Table table);
    platform::Status deleteAllRows(Table table);
    /// Deletes the oldest `log` row; success also when there was none.
    platform::Status deleteFirstLogRow();
    platform::Result<LogListing> listLog();

    /// The text form of a date-time column: ISO-8601 local time to the second ("2024-02-29 23:05:09").
    static QString dateTimeText(const QDateTime& when);
    static QDateTime dateTimeFromText(const QString& text);

private:
    platform::Status exec(const QString& sql);
    /// The first column of every row `sql` selects, with one value bound when it is valid.
    platform::Result<QStringList> textColumn(const QString& sql, const QVariant& bound);
    /// Runs `write` with the longer wait for other writers instead of the connection's own.
    template <typename Write> platform::Status waitingForWriters(Write write);

    QString m_connection;
    platform::Status m_openStatus;
    int m_writeWaitMs = kDefaultWriteWaitMs;
    bool m_inRun = false;
    bool m_readOnly = false;
    struct Statements;
    std::unique_ptr<Statements> m_statements;
};

/// The sentence a window shows when a command on `db` meets `failure`.
QString failureText(const FileDatabase& db, const platform::Status& failure, const QString& path);
/// "无法保存记录: " and the reason `failure` gives in Chinese, with the engine's words in brackets.
QString storeFailureText(const FileDatabase& db, const platform::Status& failure, const QString& path);

} // namespace korvane::recorder
