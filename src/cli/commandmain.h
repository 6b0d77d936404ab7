#pragma once
// The part of a command-line program after the command is known, shared by korvane-cli and the
// helpers that run a command in its place: options, --help, the reporter, usage errors.

#include "cli/commands.h"

namespace korvane::cli {

/// "通用选项" and "退出码", the end of every help text.
QString commonHelp();

/// Parses `rawArgs` (what follows the command's name) against the command's options and --json
/// and --help, then prints its help or runs it; gives the exit code.
int runCommand(const Command& command, const QList<QByteArray>& rawArgs);

/// The application object's name, version and locale, as korvane-cli's: the same name as the
/// windows' program, so all find the same per-user data folder and helpers, and type
/// descriptions in Simplified Chinese.
void setApplicationIdentity();

/// Arguments from the kernel, without the program's name: a name need not be UTF-8, and
/// decoding it would name another file.
QList<QByteArray> rawArguments(int argc, char* argv[]);

} // namespace korvane::cli
