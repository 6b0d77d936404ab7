// Records a run of 1000 rows, then dies by SIGKILL in the middle of a second run that is
// large enough to spill uncommitted pages into the file.
#include "recorder/filedatabase.h"

#include <QCoreApplication>
#include <csignal>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    korvane::recorder::FileDatabase db(QString::fromLocal8Bit(argv[1]));
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
