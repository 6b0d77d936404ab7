#pragma once

#include "cli/cliapp.h"
#include "platform/filesystem.h"

#include <QList>
#include <QString>
#include <functional>

namespace korvane::cli {

/// One command of korvane-cli: its name, help and options, and what runs it.
struct Command {
    QString name;
    QString synopsis; ///< the usage line after "korvane-cli "
    QString summary;  ///< one line for the command list
    QString details;  ///< the rest of `COMMAND --help`: options and notes
    QList<OptionDef> options;
    std::function<int(const ParsedArgs& args, Reporter& out)> run;
};

QList<Command> recorderCommands();
Command filesCommand();
Command chmCommand();
QList<Command> programCommands(); ///< register, compile
Command docCommand();
Command dwgCommand();

/// An operand as an absolute path in the kernel's bytes: a relative one is joined to the working
/// folder as getcwd() gives it. Neither is ever decoded, so a name that is not UTF-8 names the
/// same file here as in the shell.
platform::NativePath absoluteNative(const QByteArray& operand);
/// The same, as the text shown for it.
QString absolutePath(const QByteArray& operand);

} // namespace korvane::cli
