#include "recorder/filedatabase.h"

#include "platform/localfilesystem.h"

#include <QAtomicInt>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <cstdlib>
#include <ctime>
#include <sqlite3.h>
#include <unistd.h>

namespace korvane::recorder {

using platform::Status;

namespace {

QAtomicInt g_connections;

/// A failure in the engine's words; `code` is SQLite's result code (0: from no SQLite call),
/// kept as the primary code whether or not extended codes are on.
Status dbFailure(const QString& message, int code = 0)
{
    return Status::engineFailure(code & 0xff, message);
}

Status notOpen()
{
    return dbFailure(QStringLiteral("database not open"));
}

const char* tableName(Table table)
{
    return table == Table::FileInf ? "fileInf" : "log";
}

/// "file:" URI that opens an existing file and never creates one. Built from the path's bytes,
/// each percent-encoded but "/": SQLite decodes them to the very bytes, so a name that is not
/// UTF-8 opens that file, and '?', '#', '%' are never read as URI syntax.
QString uriFor(const QByteArray& absolutePath, bool writable)
{
    // A database we cannot write is opened immutable: a WAL reader would otherwise need to
    // create -shm beside it, which an unwritable folder refuses, and no lock is taken either.
    return QStringLiteral("file://") + QString::fromLatin1(absolutePath.toPercentEncoding("/")) +
           (writable ? QStringLiteral("?mode=rw") : QStringLiteral("?mode=ro&immutable=1"));
}

/// The path made absolute against the working folder; never decoded.
QByteArray absolute(const QByteArray& path)
{
    if (path.startsWith('/'))
        return path;
    char* cwd = ::getcwd(nullptr, 0);
    if (!cwd)
        return path;
    QByteArray joined(cwd);
    ::free(cwd);
    return joined + (joined.endsWith('/') ? "" : "/") + path;
}

/// The file a link leads to; the path itself when it cannot be resolved (SQLite reports why).
QByteArray canonical(const QByteArray& path)
{
    char* resolved = ::realpath(path.constData(), nullptr);
    if (!resolved)
        return absolute(path);
    QByteArray result(resolved);
    ::free(resolved);
    return result;
}

/// Why a file is refused before SQLite sees it; "" when SQLite may open it (or report it missing).
/// A FIFO or a device would hold the open, or the reads, forever; SQLite would take a
/// zero-length file for an empty database and write one into it.
QString refusal(platform::FileSystem& fs, const QByteArray& path)
{
    const platform::Result<platform::FileInfo> info = fs.info(path, platform::Links::Follow);
    if (!info)
        return {}; // missing or unreadable: SQLite reports it
    if (info->kind != platform::EntryKind::File)
        return QStringLiteral("not a regular file");
    static const QByteArray magic("SQLite format 3\0", 16);
    const platform::Result<QByteArray> head = fs.readFile(path, magic.size());
    if (!head)
        return {}; // unreadable: SQLite reports it
    if (*head != magic)
        return QStringLiteral("file is not a database");
    return {};
}

/// Both the file and its folder: SQLite writes its journal beside the database, which for a
/// link is beside the file it leads to.
bool canWrite(const QByteArray& absolutePath)
{
    const qsizetype slash = absolutePath.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? absolutePath.left(slash) : QByteArray("/");
    return ::access(absolutePath.constData(), W_OK) == 0 && ::access(folder.constData(), W_OK) == 0;
}

} // namespace

/// The file-row insert runs once per file of a run; it goes straight to SQLite through the
/// connection's native handle (QSqlQuery costs several times more per row), and a run's rows
/// go in statements of many rows each, which halves what a row costs.
struct FileDatabase::Statements {
    static constexpr int kRowsPerInsert = 32;
    sqlite3* handle = nullptr;
    sqlite3_stmt* insert = nullptr;     ///< one row
    sqlite3_stmt* insertMany = nullptr; ///< kRowsPerInsert rows
    ~Statements()
    {
        sqlite3_finalize(insert);
        sqlite3_finalize(insertMany);
    }
};

namespace {

platform::FileSystem& localFiles()
{
    static platform::LocalFileSystem fs;
    return fs;
}

} // namespace

FileDatabase::FileDatabase(const QString& path) : FileDatabase(platform::NativePath(QFile::encodeName(path))) {}

FileDatabase::FileDatabase(const platform::NativePath& path) : FileDatabase(path, localFiles()) {}

FileDatabase::FileDatabase(const platform::NativePath& path, platform::FileSystem& fs)
    : m_connection(QStringLiteral("korvane-recorder-%1").arg(g_connections.fetchAndAddRelaxed(1)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    if (const QString why = refusal(fs, path); !why.isEmpty()) {
        m_openStatus = dbFailure(why);
        return;
    }
    // A database reached through a link is the file it resolves to, in that file's folder.
    const QByteArray file = canonical(path);
    const bool writable = canWrite(file);
    m_readOnly = !writable;
    db.setDatabaseName(uriFor(file, writable));
    // Another Korvane process may be writing; our own windows never hold a lock across events.
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=2000"));
    if (!db.open()) {
        m_openStatus = dbFailure(db.lastError().text());
        return;
    }
    if (writable) {
        // WAL lets the log window read while the recorder holds the file; NORMAL sync stays
        // consistent after a crash and costs one fsync per checkpoint instead of per commit.
        exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    }
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0 ||
        !*static_cast<sqlite3* const*>(handle.constData())) {
        m_openStatus = dbFailure(QStringLiteral("no SQLite handle"));
        db.close();
        return;
    }
    m_statements = std::make_unique<Statements>();
    m_statements->handle = *static_cast<sqlite3* const*>(handle.constData());
}

FileDatabase::~FileDatabase()
{
    if (m_inRun)
        rollbackRun();
    m_statements.reset(); // finalized before the connection closes
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool FileDatabase::isOpen() const
{
    return m_statements != nullptr;
}

Status FileDatabase::exec(const QString& sql)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(sql))
        return dbFailure(query.lastError().text(), query.lastError().nativeErrorCode().toInt());
    query.finish();
    return {};
}

template <typename Write> Status FileDatabase::waitingForWriters(Write write)
{
    sqlite3* handle = m_statements->handle;
    int ownTimeout = 0;
    sqlite3_stmt* pragma = nullptr;
    if (sqlite3_prepare_v2(handle, "PRAGMA busy_timeout", -1, &pragma, nullptr) == SQLITE_OK &&
        sqlite3_step(pragma) == SQLITE_ROW)
        ownTimeout = sqlite3_column_int(pragma, 0);
    sqlite3_finalize(pragma);
    sqlite3_busy_timeout(handle, m_writeWaitMs);
    Status status = write();
    sqlite3_busy_timeout(handle, ownTimeout);
    return status;
}

Status FileDatabase::beginRun()
{
    if (!isOpen())
        return notOpen();
    if (m_inRun)
        return {};
    if (Status begun = waitingForWriters([this] { return exec(QStringLiteral("BEGIN IMMEDIATE")); }); !begun)
        return begun;
    m_inRun = true;
    return {};
}

Status FileDatabase::commitRun()
{
    if (!m_inRun)
        return dbFailure(QStringLiteral("no run"));
    m_inRun = false;
    Status committed = exec(QStringLiteral("COMMIT"));
    if (!committed)
        exec(QStringLiteral("ROLLBACK")); // the commit's failure is the one to report
    return committed;
}

void FileDatabase::moveToThread(QThread* thread)
{
    if (QSqlDriver* driver = QSqlDatabase::database(m_connection, false).driver())
        driver->moveToThread(thread);
}

void FileDatabase::rollbackRun()
{
    if (!m_inRun)
        return;
    m_inRun = false;
    // The failure that ended a run may have ended its transaction too: this one may fail.
    exec(QStringLiteral("ROLLBACK"));
}

namespace {

constexpr int kDateTimeLength = 19; // "2024-02-29 23:05:09"

/// Local time as "2024-02-29 23:05:09" into `text` (kDateTimeLength bytes); false when the time
/// cannot be converted. localtime_r, unlike QDateTime's local-time conversion, does not re-read
/// the zone per call.
bool formatLocalTime(qint64 secsSinceEpoch, char* text)
{
    const time_t seconds = time_t(secsSinceEpoch);
    struct tm local {};
    if (!localtime_r(&seconds, &local) || local.tm_year + 1900 < 0 || local.tm_year + 1900 > 9999)
        return false;
    const auto put = [&text](int at, int value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            text[at + i] = char('0' + value % 10);
    };
    put(0, local.tm_year + 1900, 4);
    text[4] = '-';
    put(5, local.tm_mon + 1, 2);
    text[7] = '-';
    put(8, local.tm_mday, 2);
    text[10] = ' ';
    put(11, local.tm_hour, 2);
    text[13] = ':';
    put(14, local.tm_min, 2);
    text[16] = ':';
    put(17, local.tm_sec, 2);
    return true;
}

} // namespace

QString FileDatabase::dateTimeText(const QDateTime& when)
{
    char text[kDateTimeLength];
    if (!when.isValid() || !formatLocalTime(when.toSecsSinceEpoch(), text))
        return {};
    return QString::fromLatin1(text, kDateTimeLength);
}

QDateTime FileDatabase::dateTimeFromText(const QString& text)
{
    QDateTime when = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!when.isValid())
        when = QDateTime::fromString(text, Qt::ISODate);
    return when;
}

namespace {

int bindText(sqlite3_stmt* statement, int index, const QByteArray& text)
{
    if (text.isNull())
        return sqlite3_bind_null(statement, index);
    return sqlite3_bind_text(statement, index, text.constData(), int(text.size()),
                             SQLITE_STATIC); // the row outlives the step
}

/// Binds one row's values from parameter `first` on.
int bindRow(sqlite3_stmt* statement, int first, const StoredRow& row)
{
    int rc = bindText(statement, first, row.name);
    if (rc == SQLITE_OK)
        rc = bindText(statement, first + 1, row.type);
    if (rc == SQLITE_OK)
        rc = row.size ? sqlite3_bind_int64(statement, first + 2, *row.size) : sqlite3_bind_null(statement, first + 2);
    if (rc == SQLITE_OK)
        rc = row.modified
                 ? sqlite3_bind_text(statement, first + 3, row.modified->data(), kDateTimeLength, SQLITE_STATIC)
                 : sqlite3_bind_null(statement, first + 3);
    if (rc == SQLITE_OK)
        rc = bindText(statement, first + 4, row.shortName);
    return rc;
}

/// UTF-8, with an empty text kept apart from a missing one.
QByteArray utf8(const std::optional<QString>& text)
{
    if (!text)
        return {};
    QByteArray bytes = text->toUtf8();
    return bytes.isNull() ? QByteArray("", 0) : bytes;
}

} // namespace

std::optional<std::array<char, kDateTimeLength>> FileDatabase::storedDateTime(qint64 secsSinceEpoch)
{
    std::array<char, kDateTimeLength> text;
    if (!formatLocalTime(secsSinceEpoch, text.data()))
        return std::nullopt;
    return text;
}

StoredRow FileDatabase::storedForm(const FileRow& row)
{
    StoredRow stored{utf8(row.name), utf8(row.type), row.size, std::nullopt, utf8(row.shortName)};
    if (row.modified && row.modified->isValid())
        stored.modified = storedDateTime(row.modified->toSecsSinceEpoch());
    return stored;
}

Status FileDatabase::appendFileRow(const FileRow& row)
{
    const StoredRow stored = storedForm(row);
    return appendFileRows(&stored, 1);
}

Status FileDatabase::appendFileRows(const StoredRow* rows, size_t count)
{
    if (!isOpen())
        return notOpen();
    sqlite3* handle = m_statements->handle;
    constexpr int kMany = Statements::kRowsPerInsert;
    while (count > 0) {
        const int n = count >= size_t(kMany) ? kMany : 1;
        sqlite3_stmt*& insert = n == 1 ? m_statements->insert : m_statements->insertMany;
        if (!insert) {
            QByteArray sql =
                "INSERT INTO fileInf (FileName, filetype, filesize, filedate, shortname) VALUES (?, ?, ?, ?, ?)";
            for (int r = 1; r < n; ++r)
                sql += ", (?, ?, ?, ?, ?)";
            if (sqlite3_prepare_v2(handle, sql.constData(), int(sql.size()), &insert, nullptr) != SQLITE_OK)
                return dbFailure(QString::fromUtf8(sqlite3_errmsg(handle)), sqlite3_errcode(handle));
        }
        int rc = SQLITE_OK;
        for (int r = 0; r < n && rc == SQLITE_OK; ++r)
            rc = bindRow(insert, 1 + r * 5, rows[r]);
        if (rc == SQLITE_OK)
            rc = sqlite3_step(insert);
        const QString error = rc == SQLITE_DONE ? QString() : QString::fromUtf8(sqlite3_errmsg(handle));
        sqlite3_reset(insert);
        if (rc != SQLITE_DONE)
            return dbFailure(error, rc);
        rows += n;
        count -= size_t(n);
    }
    return {};
}

Status FileDatabase::appendLogRow(const QString& folder, const QDateTime& when)
{
    if (!isOpen())
        return notOpen();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(QStringLiteral("INSERT INTO log (folder, logtime) VALUES (?, ?)")))
        return dbFailure(query.lastError().text());
    query.addBindValue(folder);
    query.addBindValue(dateTimeText(when));
    return waitingForWriters([&query] {
        if (!query.exec())
            return dbFailure(query.lastError().text(), query.lastError().nativeErrorCode().toInt());
        return Status();
    });
}

SizeSearch FileDatabase::findNamesInSizeRange(double lower, double upper)
{
    SizeSearch result;
    if (!isOpen()) {
        result.status = notOpen();
        return result;
    }
    // Native, like the insert: a lookup may list tens of thousands of names.
    sqlite3* handle = m_statements->handle;
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(handle,
                           "SELECT FileName, filesize FROM fileInf WHERE filesize BETWEEN ? AND ? ORDER BY rowid", -1,
                           &select, nullptr) != SQLITE_OK) {
        result.status = dbFailure(QString::fromUtf8(sqlite3_errmsg(handle)));
        return result;
    }
    sqlite3_bind_double(select, 1, lower);
    sqlite3_bind_double(select, 2, upper);
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
        if (sqlite3_column_type(select, 0) == SQLITE_NULL) {
            result.status = dbFailure(QStringLiteral("a found row has no name"));
            break;
        }
        const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(select, 0));
        result.names.append(QString::fromUtf16(text, sqlite3_column_bytes16(select, 0) / 2));
        result.sizes.append(sqlite3_column_int64(select, 1));
    }
    if (result.status && rc != SQLITE_DONE)
        result.status = dbFailure(QString::fromUtf8(sqlite3_errmsg(handle)));
    // Finalized at once: an open statement would hold a read lock while the window waits.
    sqlite3_finalize(select);
    return result;
}

platform::Result<QStringList> FileDatabase::textColumn(const QString& sql, const QVariant& bound)
{
    if (!isOpen())
        return notOpen();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return dbFailure(query.lastError().text());
    if (bound.isValid())
        query.addBindValue(bound);
    if (!query.exec())
        return dbFailure(query.lastError().text());
    QStringList texts;
    while (query.next())
        texts.append(query.value(0).toString());
    if (query.lastError().isValid())
        return dbFailure(query.lastError().text());
    query.finish();
    return texts;
}

platform::Result<QStringList> FileDatabase::namesOfSize(qint64 size)
{
    return textColumn(QStringLiteral("SELECT FileName FROM fileInf WHERE filesize = ? AND FileName IS NOT NULL "
                                     "GROUP BY FileName ORDER BY min(rowid)"),
                      size);
}

platform::Result<QStringList> FileDatabase::loggedFolders()
{
    return textColumn(QStringLiteral("SELECT folder FROM log WHERE folder IS NOT NULL AND folder <> '' "
                                     "GROUP BY folder ORDER BY max(rowid) DESC"),
                      QVariant());
}

platform::Result<bool> FileDatabase::isEmpty(Table table)
{
    if (!isOpen())
        return notOpen();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT EXISTS (SELECT 1 FROM %1)").arg(QLatin1String(tableName(table)))) ||
        !query.next())
        return dbFailure(query.lastError().text());
    const bool empty = query.value(0).toInt() == 0;
    query.finish();
    return empty;
}

Status FileDatabase::deleteAllRows(Table table)
{
    if (!isOpen())
        return notOpen();
    return exec(QStringLiteral("DELETE FROM %1").arg(QLatin1String(tableName(table))));
}

Status FileDatabase::deleteFirstLogRow()
{
    if (!isOpen())
        return notOpen();
    return exec(QStringLiteral("DELETE FROM log WHERE rowid = (SELECT min(rowid) FROM log)"));
}

platform::Result<LogListing> FileDatabase::listLog()
{
    if (!isOpen())
        return notOpen();
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT folder, logtime FROM log ORDER BY rowid")))
        return dbFailure(query.lastError().text());
    LogListing listing;
    const QSqlRecord record = query.record();
    for (int i = 0; i < record.count(); ++i)
        listing.columns.append(record.fieldName(i));
    while (query.next()) {
        LogListing::Row row;
        row.folder = query.value(0);
        const QVariant stored = query.value(1);
        const QDateTime when = stored.isNull() ? QDateTime() : dateTimeFromText(stored.toString());
        row.logtime = when.isValid() ? QVariant(when) : stored;
        listing.rows.push_back(std::move(row));
    }
    if (query.lastError().isValid())
        return dbFailure(query.lastError().text());
    query.finish();
    return listing;
}

QString failureText(const FileDatabase& db, const Status& failure, const QString& path)
{
    if (!db.isOpen())
        return QStringLiteral("无法打开数据库文件 %1").arg(path);
    if (db.isReadOnly())
        return QStringLiteral("数据库文件 %1 是只读的,无法修改").arg(path);
    return QStringLiteral("数据库操作失败: %1").arg(failure.message());
}

QString storeFailureText(const FileDatabase& db, const Status& failure, const QString& path)
{
    if (!db.isOpen())
        return QStringLiteral("无法保存记录: 无法打开数据库文件 %1").arg(path);
    if (db.isReadOnly())
        return QStringLiteral("无法保存记录: 数据库文件 %1 是只读的").arg(path);
    QString reason;
    switch (failure.engineCode()) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: reason = QStringLiteral("数据库正被另一个程序使用"); break;
    case SQLITE_FULL: reason = QStringLiteral("磁盘已满"); break;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH: reason = QStringLiteral("数据库文件不能写入"); break;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: reason = QStringLiteral("数据库文件已损坏"); break;
    case SQLITE_IOERR: reason = QStringLiteral("读写数据库文件时出错"); break;
    case SQLITE_NOMEM: reason = QStringLiteral("内存不足"); break;
    default: reason = QStringLiteral("数据库操作失败");
    }
    if (const QString words = failure.message().trimmed(); !words.isEmpty())
        reason += QStringLiteral("(%1)").arg(words);
    return QStringLiteral("无法保存记录: ") + reason;
}

} // namespace korvane::recorder
