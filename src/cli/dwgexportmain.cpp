// korvane-dwgexport: `korvane-cli dwg preview|info`, the commands that decode pictures, in a
// program of its own, so that korvane-cli itself never loads QtGui. korvane-cli replaces itself
// with it (exec), passing its arguments after "dwg"; the options, output and exit codes are
// korvane-cli's. No application object and no display: QImage's codecs need neither.
#include "cli/dwgexport.h"
#include "platform/standardstreams.h"

#include <clocale>
#include <unistd.h>

using namespace korvane::cli;

int main(int argc, char* argv[])
{
    korvane::platform::openClosedStandardStreams();
    std::setlocale(LC_ALL, ""); // the kernel's words in a failure read as korvane-cli's do
    takeInterrupts();
    QList<QByteArray> rawArgs;
    for (int i = 1; i < argc; ++i)
        rawArgs << QByteArray(argv[i]);
    QList<OptionDef> defs = dwgOptions();
    defs << OptionDef{QStringLiteral("json"), false};
    try {
        const ParsedArgs parsed = parseArgs(rawArgs, defs);
        Reporter reporter(parsed.has(QStringLiteral("json")), ::isatty(STDERR_FILENO) == 1);
        return outputChecked(runDwgExport(parsed, reporter));
    } catch (const UsageError& e) {
        return usageError(e.reason, dwgSynopsis());
    }
}
