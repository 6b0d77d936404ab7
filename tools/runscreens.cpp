// Pictures of two whole runs with the real services, as a user sees them under a window
// manager: the help decompiler with both folder boxes filled and its closing message, and the
// file manager's closing box for files it left (folded and unfolded). Run under a display with
// a window manager, with the help samples:
//
//     korvane_runscreens <picture folder> <help samples folder>

#include "filemanager/frmmove.h"
#include "helpdecompiler/frmdecp.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/qtservices.h"

#include "screenshooting.h"
#include <QAbstractButton>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

using namespace korvane;
using namespace korvane::shots;

namespace {

int g_boxesLeft = 0;

/// Takes the picture once the run's closing box is up (unfolded when asked), then closes it.
void pictureOfNextBox(const QString& name, bool unfold = false)
{
    ++g_boxesLeft;
    QTimer::singleShot(300, [name, unfold] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            --g_boxesLeft;
            pictureOfNextBox(name, unfold);
            return;
        }
        if (unfold)
            for (QAbstractButton* button : box->buttons())
                if (box->buttonRole(button) == QMessageBox::ActionRole)
                    button->click();
        box->move(60, 400); // below the window, whose boxes stay in sight
        QTimer::singleShot(700, [box, name] {
            saveScreen(name);
            box->accept();
            --g_boxesLeft;
        });
    });
}

/// Runs the window's start button and waits for the run and its box.
void runAndWait(QWidget& window, const char* button)
{
    window.findChild<QPushButton*>(QString::fromLatin1(button))->click();
    while (!platform::BackgroundRun::runsInFlight().isEmpty() || g_boxesLeft > 0)
        waitFor(100);
}

void copyInto(const QString& file, const QString& folder)
{
    QDir().mkpath(folder);
    if (!QFile::copy(file, QDir(folder).filePath(QFileInfo(file).fileName())))
        ++g_failures;
}

void decompileFromSource(platform::Services& services, const QString& samples, const QString& root)
{
    const QString source = root + QStringLiteral("/下载/帮助"), target = root + QStringLiteral("/反编译");
    copyInto(samples + QStringLiteral("/real/7-zip.chm"), source);
    copyInto(samples + QStringLiteral("/good/中文帮助.chm"), source + QStringLiteral("/中文"));
    QDir().mkpath(target);
    helpdecompiler::Frmdecp window(services);
    window.findChild<QLineEdit*>(QStringLiteral("Text2"))->setText(source);
    window.findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(target);
    window.move(60, 60);
    window.show();
    waitFor(800);
    pictureOfNextBox(QStringLiteral("frmdecp-source-and-target.png"));
    runAndWait(window, "Command3");
    QTextStream(stdout) << "output folders: " << QDir(target).entryList(QDir::Dirs | QDir::NoDotAndDotDot).join(u' ')
                        << '\n';
}

void moveLeavingFiles(platform::Services& services, const QString& root)
{
    const QString source = root + QStringLiteral("/文档"), target = root + QStringLiteral("/归档");
    for (const QString& name : {QStringLiteral("报告.txt"), QStringLiteral("笔记.txt"), QStringLiteral("二月/报告.txt"),
                                QStringLiteral("三月/报告.txt"), QStringLiteral("照片.jpg")}) {
        QDir().mkpath(QFileInfo(source + u'/' + name).path());
        QFile file(source + u'/' + name);
        if (!file.open(QIODevice::WriteOnly))
            ++g_failures;
        file.write(name.toUtf8());
    }
    QDir().mkpath(target);
    QFile old(target + QStringLiteral("/笔记.txt"));
    if (!old.open(QIODevice::WriteOnly))
        ++g_failures;
    for (const bool unfold : {false, true}) {
        filemanager::frmmove window(services);
        window.findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(source);
        window.findChild<QLineEdit*>(QStringLiteral("Text2"))->setText(target);
        window.findChild<QComboBox*>(QStringLiteral("Combo1"))->setCurrentIndex(1); // *.txt
        window.move(60, 60);
        window.show();
        waitFor(800);
        pictureOfNextBox(unfold ? QStringLiteral("frmmove-end-box-details.png") : QStringLiteral("frmmove-end-box.png"),
                         unfold);
        runAndWait(window, "Command3");
    }
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    platform::installQtChineseTranslations();
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);
    QTemporaryDir dir;
    platform::QtServices real(QStringLiteral("korvane-shots"), dir.path(), QCoreApplication::applicationDirPath());
    decompileFromSource(real.services(), QString::fromLocal8Bit(argv[2]), dir.path());
    moveLeavingFiles(real.services(), dir.path());
    return g_failures == 0 ? 0 : 1;
}
