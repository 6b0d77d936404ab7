#include "recorder/filedatabase.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>

namespace korvane::recorder {

namespace {

QAtomicInt g_connections;

const char* tableName(Table table)
{
    return table == Table::FileInf ? "fileInf" : "log";
}

/// "file:" URI that opens an existing file read-write and never creates one. Every
/// character SQLite would read as URI syntax ('?', '#', '%') is escaped.
QString uriFor(const QString& path)
{
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded)
           + QStringLiteral("?mode=rw");
}

QVariant textOrNull(const std::optional<QString>& text)
{
    return text ? QVariant(*text) : QVariant(QMetaType::fromType<QString>());
}

} // namespace

struct FileDatabase::Statements {
    explicit Statements(const QSqlDatabase& db) : insert(db) {}
    QSqlQuery insert;
};

FileDatabase::FileDatabase(const QString& path)
    : m_connection(QStringLiteral("korvane-recorder-%1").arg(g_connections.fetchAndAddRelaxed(1)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(uriFor(path));
    // Another Korvane process may be writing; our own windows never hold a lock across events.
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=2000"));
    if (!db.open()) {
        fail(db.lastError().text());
        return;
    }
    // WAL lets the log window read while the recorder holds the file; NORMAL sync stays
    // consistent after a crash and costs one fsync per checkpoint instead of per commit.
    exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    m_statements = new Statements(db);
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
    return when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QDateTime FileDatabase::dateTimeFromText(const QString& text)
{
    QDateTime when = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!when.isValid())
        when = QDateTime::fromString(text, Qt::ISODate);
    return when;
}

bool FileDatabase::appendFileRow(const FileRow& row)
{
    if (!isOpen())
        return fail(QStringLiteral("database not open"));
    QSqlQuery& insert = m_statements->insert;
    if (!m_insertPrepared) {
        if (!insert.prepare(QStringLiteral(
                "INSERT INTO fileInf (FileName, filetype, filesize, filedate, shortname) VALUES (?, ?, ?, ?, ?)")))
            return fail(insert.lastError().text());
        m_insertPrepared = true;
    }
    insert.bindValue(0, textOrNull(row.name));
    insert.bindValue(1, textOrNull(row.type));
    insert.bindValue(2, row.size ? QVariant(*row.size) : QVariant(QMetaType::fromType<qint64>()));
    insert.bindValue(3, row.modified && row.modified->isValid() ? QVariant(dateTimeText(*row.modified))
                                                                : QVariant(QMetaType::fromType<QString>()));
    insert.bindValue(4, textOrNull(row.shortName));
    if (!insert.exec())
        return fail(insert.lastError().text());
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
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral(
            "SELECT FileName FROM fileInf WHERE filesize BETWEEN ? AND ? ORDER BY rowid"))) {
        result.ok = fail(query.lastError().text());
        return result;
    }
    query.addBindValue(lower);
    query.addBindValue(upper);
    if (!query.exec()) {
        result.ok = fail(query.lastError().text());
        return result;
    }
    while (query.next()) {
        const QVariant name = query.value(0);
        if (name.isNull()) {
            result.ok = fail(QStringLiteral("a found row has no name"));
            break;
        }
        result.names.append(name.toString());
    }
    if (result.ok && query.lastError().isValid())
        result.ok = fail(query.lastError().text());
    // A statement left open would hold a read lock while the window waits for input.
    query.finish();
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
    return QStringLiteral("数据库操作失败: %1").arg(db.lastError());
}

} // namespace korvane::recorder
