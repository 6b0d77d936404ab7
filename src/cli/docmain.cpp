// korvane-doccommand: `korvane-cli doc` in a program of its own. The document engine links
// libgsf, and with it GLib's GObject and GIO, which korvane-cli's other commands do not need
// and would otherwise load at every start. korvane-cli replaces itself with it (exec), passing
// its arguments after "doc"; options, help, output and exit codes are korvane-cli's.
#include "cli/commandmain.h"
#include "platform/standardstreams.h"

#include <QCoreApplication>

using namespace korvane::cli;

int main(int argc, char* argv[])
{
    korvane::platform::openClosedStandardStreams();
    takeInterrupts();
    const QList<QByteArray> rawArgs = rawArguments(argc, argv);
    QCoreApplication app(argc, argv);
    setApplicationIdentity();
    return runCommand(docCommand(), rawArgs);
}
