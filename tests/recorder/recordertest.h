#pragma once

#include "support/testtree.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariantList>
#include <QtTest>

namespace korvane::recorder::test {

/// Puts the build's empty db1.mdb into `folder`, as an installation has it.
inline bool installEmptyDatabase(const QString& folder)
{
    const QString target = folder + QStringLiteral("/db1.mdb");
    QFile::remove(target);
    return QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), target) &&
           QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
}

/// Runs a query on its own connection (as the sqlite3 shell would) and returns every row.
inline QList<QVariantList> query(const QString& dbPath, const QString& sql)
{
    QList<QVariantList> rows;
    const QString name = QStringLiteral("check-%1").arg(quintptr(&rows));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dbPath);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql)) {
                while (q.next()) {
                    QVariantList row;
                    for (int i = 0; i < q.record().count(); ++i)
                        row.append(q.value(i));
                    rows.append(row);
                }
            } else {
                qWarning() << "query failed" << sql << q.lastError().text();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

inline int count(const QString& dbPath, const QString& table)
{
    const auto rows = query(dbPath, QStringLiteral("SELECT count(*) FROM ") + table);
    return rows.isEmpty() ? -1 : rows.first().value(0).toInt();
}

using testsupport::writeSized;

} // namespace korvane::recorder::test
