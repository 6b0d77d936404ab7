#include "recorder/filedatabase.h"

#include <QAtomicInt>
#include <QSqlDriver>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>
#include <cstdio>
#include <ctime>
#include <sqlite3.h>
#include <unistd.h>

namespace korvane::recorder {

namespace {

QAtomicInt g_connections;

const char* tableName(Table table)
{
    return table == Table::FileInf ? "fileInf" : "log";
}

/// "file:" URI that opens an existing file and never creates one. Every character SQLite
/// would read as URI syntax ('?', '#', '%') is escaped.
QString uriFor(const QString& path, bool writable)
{
    // A database we cannot write is opened immutable: a WAL reader would otherwise need to
    // create -shm beside it, which an unwritable folder refuses, and no lock is taken either.
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded)
           + (writable ? QStringLiteral("?mode=rw") : QStringLiteral("?mode=ro&immutable=1"));
}

/// SQLite would take a zero-length file for an empty database and write one into it; a file
/// that does not start as a database is refused before SQLite sees it, so it stays as it is.
bool looksLikeDatabase(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true; // missing or unreadable: let SQLite report it
    static const QByteArray magic("SQLite format 3\0", 16);
    return file.read(magic.size()) == magic;
}

/// Both the file and its folder: SQLite writes its journal beside the database.
bool canWrite(const QString& path)
{
    const QFileInfo info(path);
    return ::access(QFile::encodeName(info.absoluteFilePath()).constData(), W_OK) == 0
           && ::access(QFile::encodeName(info.absolutePath()).constData(), W_OK) == 0;
}

} // namespace

/// The file-row insert runs once per file of a run; it goes straight to SQLite through the
/// connection's native handle (QSqlQuery costs several times more per row).
struct FileDatabase::Statements {
    sqlite3* handle = nullptr;
    sqlite3_stmt* insert = nullptr;
    ~Statements() { sqlite3_finalize(insert); }
};

FileDatabase::FileDatabase(const QString& path)
    : m_connection(QStringLiteral("korvane-recorder-%1").arg(g_connections.fetchAndAddRelaxed(1)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    if (!looksLikeDatabase(path)) {
        fail(QStringLiteral("file is not a database"));
        return;
    }
    const bool writable = canWrite(path);
    m_readOnly = !writable;
    db.setDatabaseName(uriFor(path, writable));
    // Another Korvane process may be writing; our own windows never hold a lock across events.
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=2000"));
    if (!db.open()) {
        fail(db.lastError().text());
        return;
    }
    if (writable) {
        // WAL lets the log window read while the recorder holds the file; NORMAL sync stays
        // consistent after a crash and costs one fsync per checkpoint instead of per commit.
        exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    }
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0 || !*static_cast<sqlite3* const*>(handle.constData())) {
        fail(QStringLiteral("no SQLite handle"));
        db.close();
        return;
    }
    m_statements = new Statements;
    m_statements->handle = *static_cast<sqlite3* const*>(handle.constData());
}

FileDatabase::~FileDatabase()
{
    if (m_inRun)
        rollbackRun();
    delete m_statements;
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

bool FileDatabase::fail(const QString& message)
{
    m_lastError = message;
    return false;
}

bool FileDatabase::exec(const QString& sql)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(sql))
        return fail(query.lastError().text());
    query.finish();
    return true;
}

bool FileDatabase::beginRun()
{
    if (!isOpen())
        return fail(QStringLiteral("database not open"));
    if (m_inRun)
        return true;
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    m_inRun = true;
    return true;
}

bool FileDatabase::commitRun()
{
    if (!m_inRun)
        return fail(QStringLiteral("no run"));
    m_inRun = false;
    if (exec(QStringLiteral("COMMIT")))
        return true;
    const QString error = m_lastError;
    exec(QStringLiteral("ROLLBACK"));
    return fail(error);
}

void FileDatabase::rollbackRun()
{
    if (!m_inRun)
        return;
    m_inRun = false;
    exec(QStringLiteral("ROLLBACK"));
}

QString FileDatabase::dateTimeText(const QDateTime& when)
{
    // localtime_r, unlike QDateTime's local-time conversion, does not re-read the zone per call.
    const time_t seconds = time_t(when.toSecsSinceEpoch());
    struct tm local {};
    if (!localtime_r(&seconds, &local))
        return {};
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return QString::fromLatin1(text, n);
}

QDateTime FileDatabase::dateTimeFromText(const QString& text)
{
    QDateTime when = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!when.isValid())
        when = QDateTime::fromString(text, Qt::ISODate);
    return when;
}

namespace {

int bindText(sqlite3_stmt* statement, int index, const std::optional<QString>& text)
{
    if (!text)
        return sqlite3_bind_null(statement, index);
    return sqlite3_bind_text16(statement, index, text->utf16(), int(text->size() * 2), SQLITE_STATIC); // the row outlives the step
}

} // namespace

bool FileDatabase::appendFileRow(const FileRow& row)
{
    if (!isOpen())
        return fail(QStringLiteral("database not open"));
    sqlite3* handle = m_statements->handle;
    sqlite3_stmt*& insert = m_statements->insert;
    if (!insert
        && sqlite3_prepare_v2(handle,
                              "INSERT INTO fileInf (FileName, filetype, filesize, filedate, shortname) VALUES (?, ?, ?, ?, ?)",
                              -1, &insert, nullptr) != SQLITE_OK)
        return fail(QString::fromUtf8(sqlite3_errmsg(handle)));
    std::optional<QString> date;
    if (row.modified && row.modified->isValid()) {
        if (QString text = dateTimeText(*row.modified); !text.isEmpty())
            date = std::move(text);
    }
    int rc = bindText(insert, 1, row.name);
    if (rc == SQLITE_OK)
        rc = bindText(insert, 2, row.type);
    if (rc == SQLITE_OK)
        rc = row.size ? sqlite3_bind_int64(insert, 3, *row.size) : sqlite3_bind_null(insert, 3);
    if (rc == SQLITE_OK)
        rc = bindText(insert, 4, date);
    if (rc == SQLITE_OK)
        rc = bindText(insert, 5, row.shortName);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(insert);
    const QString error = rc == SQLITE_DONE ? QString() : QString::fromUtf8(sqlite3_errmsg(handle));
    sqlite3_reset(insert);
    sqlite3_clear_bindings(insert);
    if (rc != SQLITE_DONE)
        return fail(error);
    return true;
}

bool FileDatabase::appendLogRow(const QString& folder, const QDateTime& when)
{
    if (!isOpen())
        return fail(QStringLiteral("database not open"));
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.prepare(QStringLiteral("INSERT INTO log (folder, logtime) VALUES (?, ?)")))
        return fail(query.lastError().text());
    query.addBindValue(folder);
    query.addBindValue(dateTimeText(when));
    if (!query.exec())
        return fail(query.lastError().text());
    return true;
}

SizeSearch FileDatabase::findNamesInSizeRange(double lower, double upper)
{
    SizeSearch result;
    if (!isOpen()) {
        result.ok = fail(QStringLiteral("database not open"));
        return result;
    }
    // Native, like the insert: a lookup may list tens of thousands of names.
    sqlite3* handle = m_statements->handle;
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(handle, "SELECT FileName FROM fileInf WHERE filesize BETWEEN ? AND ? ORDER BY rowid", -1,
                           &select, nullptr) != SQLITE_OK) {
        result.ok = fail(QString::fromUtf8(sqlite3_errmsg(handle)));
        return result;
    }
    sqlite3_bind_double(select, 1, lower);
    sqlite3_bind_double(select, 2, upper);
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) {
        if (sqlite3_column_type(select, 0) == SQLITE_NULL) {
            result.ok = fail(QStringLiteral("a found row has no name"));
            break;
        }
        const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(select, 0));
        result.names.append(QString::fromUtf16(text, sqlite3_column_bytes16(select, 0) / 2));
    }
    if (result.ok && rc != SQLITE_DONE)
        result.ok = fail(QString::fromUtf8(sqlite3_errmsg(handle)));
    // Finalized at once: an open statement would hold a read lock while the window waits.
    sqlite3_finalize(select);
    return result;
}

std::optional<bool> FileDatabase::isEmpty(Table table)
{
    if (!isOpen()) {
        fail(QStringLiteral("database not open"));
        return std::nullopt;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT EXISTS (SELECT 1 FROM %1)").arg(QLatin1String(tableName(table))))
        || !query.next()) {
        fail(query.lastError().text());
        return std::nullopt;
    }
    const bool empty = query.value(0).toInt() == 0;
    query.finish();
    return empty;
}

bool FileDatabase::deleteAllRows(Table table)
{
    if (!isOpen())
        return fail(QStringLiteral("database not open"));
    return exec(QStringLiteral("DELETE FROM %1").arg(QLatin1String(tableName(table))));
}

bool FileDatabase::deleteFirstLogRow()
{
    if (!isOpen())
        return fail(QStringLiteral("database not open"));
    return exec(QStringLiteral("DELETE FROM log WHERE rowid = (SELECT min(rowid) FROM log)"));
}

std::optional<LogListing> FileDatabase::listLog()
{
    if (!isOpen()) {
        fail(QStringLiteral("database not open"));
        return std::nullopt;
    }
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT folder, logtime FROM log ORDER BY rowid"))) {
        fail(query.lastError().text());
        return std::nullopt;
    }
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
    if (query.lastError().isValid()) {
        fail(query.lastError().text());
        return std::nullopt;
    }
    query.finish();
    return listing;
}

QString failureText(const FileDatabase& db, const QString& path)
{
    if (!db.isOpen())
        return QStringLiteral("无法打开数据库文件 %1").arg(path);
    if (db.isReadOnly())
        return QStringLiteral("数据库文件 %1 是只读的,无法修改").arg(path);
    return QStringLiteral("数据库操作失败: %1").arg(db.lastError());
}

} // namespace korvane::recorder
