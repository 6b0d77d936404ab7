// Looks sizes up in a database and tries one write, for tests that need a process without
// the right to write (CI runs as root). Prints the names found, then "write:ok" or
// "write:" and the sentence a window would show.
#include "recorder/filedatabase.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    const QString path = QString::fromLocal8Bit(argv[1]);
    korvane::recorder::FileDatabase db(path);
    const auto found = db.findNamesInSizeRange(std::atof(argv[2]), std::atof(argv[3]));
    for (const QString& name : found.names)
        std::printf("%s\n", qPrintable(name));
    const korvane::platform::Status wrote = db.appendLogRow(QStringLiteral("/probe"), QDateTime::currentDateTime());
    std::printf("write:%s\n", wrote ? "ok" : qPrintable(failureText(db, wrote, path)));
    return found.status.ok() ? 0 : 1;
}
