#pragma once

#include "cli/cliapp.h"
#include "platform/filesystem.h"
#include "platform/nativepath.h"

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

/// How one operand's step ended.
enum class OperandEnd {
    Next,   ///< done; on to the next operand
    Last,   ///< done, and the command goes no further
    Undone, ///< a stop cut it short: it counts as not done, and the loop ends
};

/// The loop of a command over path operands: the run counts one item per operand, shows the
/// one in hand, ends before the next operand once a stop is asked for, and gives the summary's
/// exit code with the operands not done. `step(native, shown)` gets the absolute path and its
/// text.
template <typename Step> int forEachOperand(const QList<QByteArray>& operands, Reporter& out, Step step)
{
    platform::RunControl& control = out.control();
    control.setTotal(operands.size());
    qint64 left = operands.size();
    for (const QByteArray& operand : operands) {
        if (control.stopRequested())
            break;
        const platform::NativePath native = absoluteNative(operand);
        const QString shown = platform::displayPath(native);
        control.begin(shown);
        const OperandEnd end = step(native, shown);
        if (end == OperandEnd::Undone)
            break;
        --left;
        control.advance();
        if (end == OperandEnd::Last)
            break;
    }
    return out.finish(left);
}

} // namespace korvane::cli
