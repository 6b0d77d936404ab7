// Records a run of 1000 rows, then dies by SIGKILL in the middle of a second run that is
// large enough to spill uncommitted pages into the file.
// With a folder as second argument: records that folder with its log row and dies by SIGKILL
// the moment the first transaction has committed.
#include "platform/localfilesystem.h"
#include "recorder/filedatabase.h"
#include "recorder/recording.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <csignal>
#include <sqlite3.h>

namespace {

int killAfterCommit(korvane::recorder::FileDatabase& db, const char* folder)
{
    const QVariant handle = QSqlDatabase::database(db.connectionName(), false).driver()->handle();
    sqlite3* native = *static_cast<sqlite3* const*>(handle.constData());
    // Called once a commit is in the WAL, before the caller goes on.
    sqlite3_wal_hook(
        native,
        [](void*, sqlite3*, const char*, int) -> int {
            std::raise(SIGKILL);
            return SQLITE_OK;
        },
        nullptr);
    korvane::platform::LocalFileSystem fs;
    korvane::recorder::TypeDescriber types;
    const QString logAs = QString::fromLocal8Bit(folder);
    korvane::recorder::recordFolder(fs, db, folder, types, nullptr, logAs);
    return 6; // never committed
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    korvane::recorder::FileDatabase db(QString::fromLocal8Bit(argv[1]));
    if (argc > 2)
        return killAfterCommit(db, argv[2]);
    for (int run = 0; run < 2; ++run) {
        if (!db.beginRun())
            return 3;
        const int rows = run == 0 ? 1000 : 300000;
        for (int i = 0; i < rows; ++i) {
            korvane::recorder::FileRow row;
            row.name = QStringLiteral("run%1-%2").arg(run).arg(i);
            row.size = i;
            if (!db.appendFileRow(row))
                return 4;
            if (run == 1 && i == 250000)
                std::raise(SIGKILL);
        }
        if (!db.commitRun())
            return 5;
    }
    return 0;
}
