#include "cli/commands.h"
#include "platform/standardstreams.h"

#include <QCoreApplication>
#include <QLocale>

#include <cstring>
#include <unistd.h>

using namespace korvane::cli;

namespace {

QList<Command> commands()
{
    QList<Command> all = recorderCommands();
    all << filesCommand() << chmCommand() << programCommands() << docCommand() << dwgCommand();
    return all;
}

const QString kCommonOptions =
    QStringLiteral("\n通用选项:\n"
                   "  --json           每个项目输出一行JSON对象(path、status ok/failed/skipped、reason 及各项数字);\n"
                   "                   路径中可能有制表符或换行,供脚本读取时请用这种形式\n"
                   "  --help           显示本说明\n"
                   "  --               其后的参数都不是选项\n");

const QString kExitCodes = QStringLiteral("\n退出码:\n"
                                          "  0    全部完成\n"
                                          "  1    有项目失败\n"
                                          "  2    参数错误\n"
                                          "  3    缺少所需的程序\n"
                                          "  4    结果无法写出(标准输出已满或已关闭)\n"
                                          "  130  已取消(Ctrl-C)\n");

QString mainHelp(const QList<Command>& all)
{
    QString text = QStringLiteral("用法: korvane-cli 命令 [选项] [参数…]\n\n"
                                  "在命令行上使用Korvane的各个批处理工具,与窗口使用同一个数据库和同样的规则。\n"
                                  "每个项目输出一行: 路径, 制表符, 结果。汇总写到标准错误;在终端上标准错误\n"
                                  "还会显示一行进度。按一次Ctrl-C在当前项目结束后停止,按两次立即停止。\n\n命令:\n");
    for (const Command& c : all)
        text += QStringLiteral("  %1%2\n").arg(c.name.leftJustified(10)).arg(c.summary);
    text += QStringLiteral("\n用 korvane-cli 命令 --help 查看每个命令的说明,korvane-cli --version 显示版本。\n");
    text += kCommonOptions + kExitCodes;
    return text;
}

} // namespace

int main(int argc, char* argv[])
{
    korvane::platform::openClosedStandardStreams();
    // Before anything else is set up: scripts ask for the version to probe for the program.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        printOut(QStringLiteral("korvane-cli " KORVANE_VERSION));
        return outputChecked(kExitOk);
    }
    takeInterrupts();
    // The arguments as the kernel gave them: a name need not be UTF-8, and decoding it would
    // name another file.
    QList<QByteArray> rawArgs;
    for (int i = 1; i < argc; ++i)
        rawArgs << QByteArray(argv[i]);
    QCoreApplication app(argc, argv);
    // The same name as the windows' program, so both find the same per-user data folder.
    QCoreApplication::setApplicationName(QStringLiteral("korvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
    // Type descriptions read in Simplified Chinese, as in the windows.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));

    QStringList args;
    for (const QByteArray& arg : rawArgs)
        args << QString::fromUtf8(arg);
    const QList<Command> all = commands();
    if (args.isEmpty())
        return usageError(QStringLiteral("缺少命令"), QStringLiteral("命令 [选项] [参数…]"));
    const QString& first = args.first();
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        printOut(mainHelp(all));
        return outputChecked(kExitOk);
    }
    if (first == QLatin1String("--version")) {
        printOut(QStringLiteral("korvane-cli %1").arg(QCoreApplication::applicationVersion()));
        return outputChecked(kExitOk);
    }
    const auto command = std::find_if(all.begin(), all.end(), [&](const Command& c) { return c.name == first; });
    if (command == all.end())
        return usageError(QStringLiteral("未知命令 %1").arg(first), QStringLiteral("命令 [选项] [参数…]"));

    QList<OptionDef> defs = command->options;
    defs << OptionDef{QStringLiteral("json"), false} << OptionDef{QStringLiteral("help"), false};
    try {
        const ParsedArgs parsed = parseArgs(rawArgs.mid(1), defs);
        if (parsed.has(QStringLiteral("help"))) {
            printOut(QStringLiteral("用法: korvane-cli %1\n\n%2\n\n%3%4%5")
                         .arg(command->synopsis, command->summary, command->details, kCommonOptions, kExitCodes));
            return outputChecked(kExitOk);
        }
        Reporter reporter(parsed.has(QStringLiteral("json")), ::isatty(STDERR_FILENO) == 1);
        return outputChecked(command->run(parsed, reporter));
    } catch (const UsageError& e) {
        return usageError(e.reason, command->synopsis);
    }
}
