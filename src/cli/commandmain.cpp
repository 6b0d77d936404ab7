#include "cli/commandmain.h"

#include <QCoreApplication>
#include <QLocale>

#include <unistd.h>

namespace korvane::cli {

QString commonHelp()
{
    return QStringLiteral(
        "\n通用选项:\n"
        "  --json           每个项目输出一行JSON对象(path、status ok/failed/skipped、reason 及各项数字);\n"
        "                   路径中可能有制表符或换行,供脚本读取时请用这种形式\n"
        "  --help           显示本说明\n"
        "  --               其后的参数都不是选项\n"
        "\n退出码:\n"
        "  0    全部完成\n"
        "  1    有项目失败\n"
        "  2    参数错误\n"
        "  3    缺少所需的程序\n"
        "  4    结果无法写出(标准输出已满或已关闭)\n"
        "  130  已取消(Ctrl-C)\n");
}

int runCommand(const Command& command, const QList<QByteArray>& rawArgs)
{
    QList<OptionDef> defs = command.options;
    defs << OptionDef{QStringLiteral("json"), false} << OptionDef{QStringLiteral("help"), false};
    try {
        const ParsedArgs parsed = parseArgs(rawArgs, defs);
        if (parsed.has(QStringLiteral("help"))) {
            printOut(QStringLiteral("用法: korvane-cli %1\n\n%2\n\n%3%4")
                         .arg(command.synopsis, command.summary, command.details, commonHelp()));
            return outputChecked(kExitOk);
        }
        Reporter reporter(parsed.has(QStringLiteral("json")), ::isatty(STDERR_FILENO) == 1);
        return outputChecked(command.run(parsed, reporter));
    } catch (const UsageError& e) {
        return usageError(e.reason, command.synopsis);
    }
}

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("korvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
}

QList<QByteArray> rawArguments(int argc, char* argv[])
{
    QList<QByteArray> args;
    for (int i = 1; i < argc; ++i)
        args << QByteArray(argv[i]);
    return args;
}

} // namespace korvane::cli
