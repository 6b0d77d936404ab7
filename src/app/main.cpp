#include "platform/datafolder.h"
#include "platform/qtservices.h"
#include "shell/mdiform1.h"
#include "shell/toolwindows.h"

#include <QApplication>
#include <QFileInfo>
#include <QLocale>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // Type descriptions and dialogs read in Simplified Chinese, whatever the session's locale.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    const QString baseName = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    QApplication::setApplicationName(baseName);

    // After the application name: the per-user data folder is named after it.
    const korvane::platform::ProgramLayout layout = korvane::platform::ProgramLayout::current();
    korvane::platform::QtServices real(baseName, korvane::platform::korvaneFolder(layout),
                                       korvane::platform::helperFolder(layout));
    korvane::platform::Services& services = real.services();

    korvane::shell::MDIForm1 main(services);
    services.mainWindow = &main;
    korvane::shell::registerToolWindows(main, services);
    // The window exists (and can own the tip window) before its load handler runs.
    main.show();
    main.Form_Load();
    return app.exec();
}
