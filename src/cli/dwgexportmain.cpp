// korvane-dwgexport: `korvane-cli dwg preview|info`, the commands that decode pictures, in a
// program of its own, so that korvane-cli itself never loads QtGui. korvane-cli replaces itself
// with it (exec), passing its arguments after "dwg"; the options, output and exit codes are
// korvane-cli's. No application object and no display: QImage's codecs need neither.
#include "cli/commandmain.h"
#include "cli/dwgexport.h"
#include "platform/standardstreams.h"

#include <clocale>

using namespace korvane::cli;

int main(int argc, char* argv[])
{
    korvane::platform::openClosedStandardStreams();
    std::setlocale(LC_ALL, ""); // the kernel's words in a failure read as korvane-cli's do
    takeInterrupts();
    QList<OptionDef> options = dwgOptions();
    return runCommand({QStringLiteral("dwg"), dwgSynopsis(), {}, {}, options, runDwgExport}, rawArguments(argc, argv));
}
