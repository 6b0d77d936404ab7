#pragma once

#include "cli/cliapp.h"

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

/// An operand as an absolute path (relative ones against the working folder), for display
/// and for the file system.
QString absolutePath(const QString& operand);

} // namespace korvane::cli
