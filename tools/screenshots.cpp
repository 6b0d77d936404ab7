// Saves pictures of the tool windows, filled in as a user would see them, for the docs and for
// eyeballing a layout change. Every service is a fake: nothing is registered, decompiled or
// opened for real.
//
//     korvane_screenshots <folder>
//
// The drawing viewer's pictures need sample drawings: set KORVANE_TESTDATA to the test data.

#include "batchlist/frmcompile.h"
#include "batchlist/frmjmdwg.h"
#include "components/frmregsvr.h"
#include "drawingviewer/form2.h"
#include "drawingviewer/frmseedwg.h"
#include "filemanager/frmmove.h"
#include "helpdecompiler/frmdecp.h"
#include "helpwindows/frmabout.h"
#include "helpwindows/frmtip.h"
#include "platform/fakes/fakedrawingapp.h"
#include "platform/fakes/fakeservices.h"
#include "platform/fakes/fakewordprocessor.h"
#include "recorder/frmrec.h"
#include "wordcrypt/frmjmword.h"
#include "wordcrypt/passwordprompt.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdio>

using namespace korvane;

namespace {

QString g_folder;
int g_failures = 0;

void save(QWidget& window, const QString& name)
{
    window.show();
    QApplication::processEvents();
    const QString path = QDir(g_folder).filePath(name);
    if (window.grab().save(path)) {
        QTextStream(stdout) << path << '\n';
    } else {
        QTextStream(stderr) << "cannot write " << path << '\n';
        ++g_failures;
    }
}

template <typename T> T* control(QWidget& window, const char* name)
{
    return window.findChild<T*>(QString::fromLatin1(name));
}

void fileManager()
{
    platform::FakeServices fakes;
    filemanager::frmmove window(fakes.services());
    control<QLineEdit>(window, "Text1")->setText(QStringLiteral("/home/用户/下载/资料"));
    control<QLineEdit>(window, "Text2")->setText(QStringLiteral("/home/用户/整理"));
    save(window, QStringLiteral("frmmove-move.png"));
    for (QRadioButton* option : window.findChildren<QRadioButton*>(QStringLiteral("Option1")))
        if (option->property("Index").toInt() == 2)
            option->click();
    control<QCheckBox>(window, "Check3")->setChecked(true);
    save(window, QStringLiteral("frmmove-delete.png"));
}

void helpDecompiler()
{
    platform::FakeServices fakes;
    helpdecompiler::Frmdecp window(fakes.services());
    control<QLineEdit>(window, "Text2")->setText(QStringLiteral("/home/用户/帮助文件"));
    control<QLineEdit>(window, "Text1")->setText(QStringLiteral("/home/用户/反编译"));
    save(window, QStringLiteral("frmdecp.png"));
}

void batchLists()
{
    platform::FakeServices fakes;
    batchlist::frmCompile compile(fakes.services());
    for (const QString& project :
         {QStringLiteral("/home/user/工程/主程序.vbp"), QStringLiteral("/home/user/工程/报表 模块.vbp")}) {
        control<QLineEdit>(compile, "Text1")->setText(project);
        compile.Command1_Click();
    }
    compile.appendInfo(QStringLiteral("编译工程 /home/user/旧/a.vbp"));
    save(compile, QStringLiteral("frmCompile.png"));

    platform::FakeDrawingAutomation acad;
    batchlist::frmjmdwg drawings(fakes.services(), acad);
    control<QLineEdit>(drawings, "Text1")->setText(QStringLiteral("/home/user/图纸/一层平面.dwg"));
    drawings.Command1_Click();
    drawings.Command2_Click();
    control<QLineEdit>(drawings, "Text1")->setText(QStringLiteral("/home/user/图纸/二层平面.DWG"));
    drawings.Command1_Click();
    save(drawings, QStringLiteral("frmjmdwg.png"));

    platform::FakeWordAutomation word;
    wordcrypt::QtDocumentPasswordPrompt dialog;
    wordcrypt::RunPasswordPrompt prompt{dialog};
    wordcrypt::frmjmword documents(fakes.services(), word, prompt);
    for (const QString& document : {QStringLiteral("/home/user/文档/报告.doc"), QStringLiteral("/home/user/b.doc")}) {
        control<QLineEdit>(documents, "Text1")->setText(document);
        documents.Command1_Click();
    }
    save(documents, QStringLiteral("frmjmword.png"));
}

void registration()
{
    platform::FakeServices fakes;
    components::Frmregsvr window(fakes.services());
    save(window, QStringLiteral("frmregsvr.png"));
}

void fileRecorder()
{
    QTemporaryDir program;
    platform::FakeServices fakes(program.path());
    recorder::frmrec window(fakes.services());
    control<QPushButton>(window, "Command2")->click();
    save(window, QStringLiteral("frmrec.png"));
    control<QLineEdit>(window, "Text1")->setText(QStringLiteral("0"));
    control<QComboBox>(window, "Combo1")->setCurrentIndex(2);
    window.Label1_Click();
    save(window, QStringLiteral("frmrec-lookup.png"));
    window.setModalRunner([](QDialog& log) { save(log, QStringLiteral("frmlog.png")); });
    window.Command4_Click();
}

void helpWindows()
{
    QTemporaryDir program; // the tip window writes its tips file here
    platform::FakeServices fakes(program.path());
    helpwindows::frmAbout about(fakes.services());
    save(about, QStringLiteral("frmabout.png"));
    const bool requested = true;
    helpwindows::frmTip tip(fakes.services(), requested);
    save(tip, QStringLiteral("frmtip.png"));
}

void drawingViewer()
{
    const QString samples = qEnvironmentVariable("KORVANE_TESTDATA") + QStringLiteral("/dwg/");
    const QString r2004 = samples + QStringLiteral("r2004_bmp_line.dwg");
    const QString r2018 = samples + QStringLiteral("r2018_png_sample.dwg");
    if (!QFile::exists(r2004) || !QFile::exists(r2018)) {
        QTextStream(stderr) << "drawing viewer left out: set KORVANE_TESTDATA to the test data\n";
        return;
    }
    platform::FakeServices fakes;
    drawingviewer::Frmseedwg window(fakes.services());
    const auto open = [&window](const QString& path) {
        control<QLineEdit>(window, "Text1")->setText(path);
        window.Command1_Click();
        // A drawing is read on a worker; its run holds the controls until it has ended.
        QDeadlineTimer deadline(5000);
        while (!control<QLineEdit>(window, "Text1")->isEnabled() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    };
    save(window, QStringLiteral("viewer-empty.png"));
    open(r2004);
    save(window, QStringLiteral("viewer-2004.png"));
    for (int i = 0; i < 4; ++i)
        window.Picture1_Click();
    control<QScrollBar>(window, "HScroll1")->setValue(30);
    control<QScrollBar>(window, "VScroll1")->setValue(20);
    save(window, QStringLiteral("viewer-2004-zoomed.png"));
    open(r2018);
    save(window, QStringLiteral("viewer-2018.png"));
    window.Image2_Click();
    save(*drawingviewer::Frmseedwg::previewWindow(), QStringLiteral("preview-2018.png"));
    // What the picture area says where there is nothing to draw.
    open(samples + QStringLiteral("r11_nopreview_entities2d.dwg"));
    save(window, QStringLiteral("viewer-no-preview.png"));
    open(samples + QStringLiteral("odd_r2000_truncated_in_bmp.dwg"));
    save(window, QStringLiteral("viewer-damaged-preview.png"));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 2) {
        std::fputs("usage: korvane_screenshots <folder>\n", stderr);
        return 2;
    }
    g_folder = arguments.at(1);
    if (!QDir().mkpath(g_folder)) {
        std::fputs("cannot make the folder\n", stderr);
        return 1;
    }
    fileManager();
    helpDecompiler();
    batchLists();
    registration();
    fileRecorder();
    helpWindows();
    drawingViewer();
    return g_failures == 0 ? 0 : 1;
}
