// Pictures of the registration message and the compiler's information box against real Wine,
// with the fixtures the tests build (tests/winefixtures). Run under a display with a window
// manager, WINEPREFIX set:
//
//     korvane_winescreens <fixtures folder> <picture folder>

#include "batchlist/frmcompile.h"
#include "components/frmregsvr.h"
#include "platform/widgets/qtservices.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

using namespace korvane;

namespace {

int g_failures = 0;

void saveScreen(const QString& path)
{
    QApplication::processEvents();
    if (QGuiApplication::primaryScreen()->grabWindow(0).save(path))
        QTextStream(stdout) << path << '\n';
    else
        ++g_failures;
}

/// Once the message box is up: unfold its details, take the picture, close it.
void pictureOfNextMessage(const QString& path)
{
    QTimer::singleShot(500, [path] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            pictureOfNextMessage(path); // the run is still going
            return;
        }
        for (QAbstractButton* button : box->buttons()) {
            if (box->buttonRole(button) == QMessageBox::ActionRole)
                button->click();
        }
        QTimer::singleShot(700, [box, path] {
            saveScreen(path);
            box->accept();
        });
    });
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    platform::installQtChineseTranslations();
    const QString fixtures = QString::fromLocal8Bit(argv[1]);
    const QString out = QString::fromLocal8Bit(argv[2]);
    QTemporaryDir dir;
    platform::QtServices real(QStringLiteral("korvane-shots"), dir.path(), dir.path());

    // Two libraries that register, and two failures with their reasons.
    const QString libs = dir.filePath("组件");
    QDir().mkpath(libs);
    for (const QString name : {"com32.dll", "com64.ocx", "fails.dll", "needsdep.dll"})
        QFile::copy(fixtures + "/libs/" + name, libs + '/' + name);
    components::Frmregsvr registration(real.services());
    registration.show();
    registration.findChild<QLineEdit*>(QStringLiteral("Text4"))->setText(libs);
    pictureOfNextMessage(out + QStringLiteral("/frmregsvr-wine-failures.png"));
    registration.findChild<QPushButton*>(QStringLiteral("Command5"))->click();
    registration.close();

    // Two projects, one of which fails with the compiler's own error line.
    const QString projects = dir.filePath("我的 工程");
    QDir().mkpath(projects);
    QFile::copy(fixtures + "/vb6stand.exe", projects + "/VB6.EXE");
    for (const auto& [name, body] : {std::pair{"好 工程.vbp", "Type=Exe\r\nForm=Form1.frm\r\n"},
                                     std::pair{"坏 工程.vbp", "Type=Exe\r\nForm=Form1.frm\r\nFail=1\r\n"}}) {
        QFile file(projects + '/' + QString::fromUtf8(name));
        file.open(QIODevice::WriteOnly);
        file.write(body);
    }
    QFile form(projects + "/Form1.frm");
    form.open(QIODevice::WriteOnly);
    form.write("VERSION 5.00\r\n");
    form.close();
    batchlist::frmCompile compile(real.services());
    compile.show();
    compile.findChild<QLineEdit*>(QStringLiteral("Text2"))->setText(projects + "/VB6.EXE");
    for (const QString name : {"好 工程.vbp", "坏 工程.vbp"}) {
        const QString path = projects + '/' + name;
        compile.addEntry({path, QFile::encodeName(path)});
    }
    compile.Command2_Click();
    compile.raise();
    saveScreen(out + QStringLiteral("/frmCompile-wine-failure.png"));
    return g_failures == 0 ? 0 : 1;
}
