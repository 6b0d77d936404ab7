#include "drawingviewer/frmseedwg.h"
#include "platform/datafolder.h"
#include "platform/instance/instancechannel.h"
#include "platform/standardstreams.h"
#include "platform/widgets/qtservices.h"
#include "platform/widgets/shutdown.h"
#include "platform/widgets/windowroles.h"
#include "shell/artwork.h"
#include "shell/mdiform1.h"
#include "shell/toolwindows.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>

namespace {

using korvane::drawingviewer::Frmseedwg;

/// The viewer opens FILE as if it had been browsed to and opened there.
void openIn(Frmseedwg* viewer, const QByteArray& file)
{
    if (!viewer)
        return;
    viewer->openHanded(QFile::decodeName(file));
}

QByteArray absolute(const QString& file)
{
    return QFile::encodeName(QFileInfo(file).absoluteFilePath());
}

} // namespace

int main(int argc, char* argv[])
{
    korvane::platform::openClosedStandardStreams();
    QApplication app(argc, argv);
    // Type descriptions and dialogs read in Simplified Chinese, whatever the session's locale.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    korvane::platform::installQtChineseTranslations(); // Qt's own buttons and choosers; English without
    const QString baseName = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    QApplication::setApplicationName(baseName);
    korvane::shell::setApplicationIdentity();

    QCommandLineParser parser;
    const QCommandLineOption viewDwg(QStringLiteral("view-dwg"), QString(), QStringLiteral("FILE"));
    parser.addOption(viewDwg);
    parser.parse(QCoreApplication::arguments()); // unknown arguments are ignored, as before
    const bool viewOnly = parser.isSet(viewDwg) && !parser.value(viewDwg).isEmpty();

    // `--view-dwg FILE` (the file manager's "Open with"): a running Korvane takes the file into
    // its viewer; else this start shows the viewer alone, without the main window and its tip.
    // Without a socket name only this user can use there is no running Korvane to reach.
    const auto channelName = korvane::platform::InstanceChannel::defaultName();
    if (viewOnly && channelName &&
        korvane::platform::InstanceChannel::handOver(*channelName, absolute(parser.value(viewDwg))))
        return 0;

    // After the application name: the per-user data folder is named after it.
    const korvane::platform::ProgramLayout layout = korvane::platform::ProgramLayout::current();
    korvane::platform::QtServices real(baseName, korvane::platform::korvaneFolder(layout),
                                       korvane::platform::helperFolder(layout));
    korvane::platform::Services& services = real.services();

    korvane::shell::MDIForm1 main(services);
    korvane::shell::registerToolWindows(main, services);
    // A signal or the end of the session stops the runs in flight before the program ends.
    korvane::platform::onQuitSignals(&main, [&main] { main.quitGracefully(); });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &main, [&main] { main.quitGracefully(); });
    QPointer<Frmseedwg> lone; // the viewer of a start with --view-dwg
    const auto viewer = [&]() -> Frmseedwg* {
        if (!viewOnly)
            return qobject_cast<Frmseedwg*>(main.showToolWindow(QStringLiteral("menuviewdwg")));
        if (!lone) {
            lone = new Frmseedwg(services);
            lone->setAttribute(Qt::WA_DeleteOnClose);
            korvane::platform::setWindowRole(lone, nullptr, true);
        }
        return lone;
    };
    korvane::platform::InstanceChannel channel;
    QObject::connect(&channel, &korvane::platform::InstanceChannel::received, &app,
                     [&](const QByteArray& file) { openIn(viewer(), file); });
    if (channelName)
        channel.listen(*channelName); // a second Korvane started from the menu does not listen

    if (viewOnly) {
        openIn(viewer(), absolute(parser.value(viewDwg)));
    } else {
        services.mainWindow = &main;
        main.start();
    }
    return app.exec();
}
