#include "drawingviewer/frmseedwg.h"
#include "platform/datafolder.h"
#include "platform/qtservices.h"
#include "platform/shutdown.h"
#include "shell/mdiform1.h"
#include "shell/toolwindows.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>

namespace {

/// `--view-dwg FILE` (what the file manager's "Open with" runs): the viewer opens on FILE as if
/// it had been browsed to and opened there.
void viewDrawing(korvane::shell::MDIForm1& main, const QString& file)
{
    auto* viewer = qobject_cast<korvane::drawingviewer::Frmseedwg*>(main.showToolWindow(QStringLiteral("menuviewdwg")));
    if (!viewer)
        return;
    viewer->findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(QFileInfo(file).absoluteFilePath());
    viewer->Command1_Click();
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Type descriptions and dialogs read in Simplified Chinese, whatever the session's locale.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    korvane::platform::installQtChineseTranslations(); // Qt's own buttons and choosers; English without
    const QString baseName = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    QApplication::setApplicationName(baseName);
    // Ties the windows to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.korvane.Korvane"));

    QCommandLineParser parser;
    const QCommandLineOption viewDwg(QStringLiteral("view-dwg"), QString(), QStringLiteral("FILE"));
    parser.addOption(viewDwg);
    parser.parse(QCoreApplication::arguments()); // unknown arguments are ignored, as before

    // After the application name: the per-user data folder is named after it.
    const korvane::platform::ProgramLayout layout = korvane::platform::ProgramLayout::current();
    korvane::platform::QtServices real(baseName, korvane::platform::korvaneFolder(layout),
                                       korvane::platform::helperFolder(layout));
    korvane::platform::Services& services = real.services();

    korvane::shell::MDIForm1 main(services);
    services.mainWindow = &main;
    korvane::shell::registerToolWindows(main, services);
    // A signal or the end of the session stops the runs in flight before the program ends.
    korvane::platform::onQuitSignals(&main, [&main] { main.quitGracefully(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &main, [&main] { main.quitGracefully(); });
    main.start();
    if (parser.isSet(viewDwg) && !parser.value(viewDwg).isEmpty())
        viewDrawing(main, parser.value(viewDwg));
    return app.exec();
}
