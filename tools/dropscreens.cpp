// Pictures of drops under a window manager: one file dropped onto the recorder's size box and
// the exact lookup it makes, a folder dropped onto the file manager's source box, and a file
// and a folder dropped onto the compiler's list. The drops are synthetic: the window gets the
// drag events a file manager's drop brings (a "text/uri-list" of raw paths), not a drag by the
// pointer. Real services over a temporary folder. Run it under a display with a window
// manager and LANG=zh_CN.UTF-8 (docs/screenshots.md gives the command).

#include "batchlist/frmcompile.h"
#include "filemanager/frmmove.h"
#include "platform/localfilesystem.h"
#include "platform/widgets/qtservices.h"
#include "recorder/filedatabase.h"
#include "recorder/frmrec.h"
#include "recorder/recording.h"
#include "support/drops.h"

#include "screenshooting.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

using namespace korvane;
using namespace korvane::shots;

namespace {

void writeFile(const QString& path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(size, 'k'));
}

void drop(QWidget* target, const QList<QByteArray>& paths)
{
    if (!testsupport::dropFiles(target, paths)) {
        QTextStream(stderr) << "drop refused on " << target->objectName() << '\n';
        ++g_failures;
    }
}

template <typename T> T* child(QWidget& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    platform::installQtChineseTranslations();
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);
    QTemporaryDir dir;
    QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), dir.filePath(QStringLiteral("db1.mdb")));
    QFile::setPermissions(dir.filePath(QStringLiteral("db1.mdb")), QFile::ReadOwner | QFile::WriteOwner);
    platform::QtServices real(QStringLiteral("korvane-shots"), dir.path(), dir.path());
    platform::Services& services = real.services();

    // Downloads recorded earlier; the file in hand has the size of one of them.
    const QString downloads = dir.filePath(QStringLiteral("下载"));
    writeFile(downloads + QStringLiteral("/年度报告.pdf"), 734003);
    writeFile(downloads + QStringLiteral("/安装程序.exe"), 2097152);
    writeFile(downloads + QStringLiteral("/说明.txt"), 1200);
    const QString inHand = dir.filePath(QStringLiteral("新下载/report(1).pdf"));
    writeFile(inHand, 734003);
    {
        recorder::FileDatabase db(dir.filePath(QStringLiteral("db1.mdb")));
        recorder::TypeDescriber types;
        platform::LocalFileSystem fs;
        recorder::recordFolder(fs, db, QFile::encodeName(downloads), types, nullptr, downloads);
    }

    {
        recorder::frmrec window(services);
        window.move(60, 60);
        window.show();
        waitFor(500);
        drop(child<QLineEdit>(window, "Text1"), {QFile::encodeName(inHand)});
        drop(child<QLineEdit>(window, "Text4"), {QFile::encodeName(downloads)});
        window.Label1_Click();
        saveScreen(QStringLiteral("drop-frmrec-size.png"), 600);
    }
    {
        filemanager::frmmove window(services);
        window.move(60, 60);
        window.show();
        waitFor(500);
        drop(child<QLineEdit>(window, "Text1"), {QFile::encodeName(downloads)});
        saveScreen(QStringLiteral("drop-frmmove-source.png"), 600);
    }
    {
        const QString projects = dir.filePath(QStringLiteral("工程"));
        writeFile(projects + QStringLiteral("/主程序.vbp"), 10);
        writeFile(projects + QStringLiteral("/工具/报表.vbp"), 10);
        writeFile(projects + QStringLiteral("/说明.txt"), 10);
        const QString single = dir.filePath(QStringLiteral("其他/单独的工程.vbp"));
        writeFile(single, 10);
        batchlist::frmCompile window(services);
        window.move(60, 20);
        window.show();
        waitFor(500);
        drop(child<QListWidget>(window, "List1"), {QFile::encodeName(single), QFile::encodeName(projects)});
        waitFor(800); // the folder is walked as a run
        saveScreen(QStringLiteral("drop-frmCompile-list.png"), 600);
    }
    return g_failures == 0 ? 0 : 1;
}
