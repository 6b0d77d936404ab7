#include "cli/commandmain.h"
#include "platform/standardstreams.h"

#include <QCoreApplication>

#include <cstring>
#include <unistd.h>

using namespace korvane::cli;

namespace {

QList<Command> commands()
{
    QList<Command> all = recorderCommands();
    all << filesCommand() << chmCommand() << programCommands() << dwgCommand();
    return all;
}

/// A command that runs in a helper program in korvane-cli's place, with everything after its
/// name: the helper parses, helps and reports as runCommand() does. `doc`'s engine links libgsf,
/// and with it GLib's GObject and GIO, which no other command needs and every start would load.
struct HelperCommand {
    QString name;
    QString summary; ///< as the helper's own help has it
    QString helper;
};

const QList<HelperCommand> kHelperCommands{{QStringLiteral("doc"),
                                            QStringLiteral("设置或去掉Word文档(.doc)的打开密码和修改密码"),
                                            QStringLiteral("korvane-doccommand")}};

QString mainHelp(const QList<Command>& all)
{
    QString text = QStringLiteral("用法: korvane-cli 命令 [选项] [参数…]\n\n"
                                  "在命令行上使用Korvane的各个批处理工具,与窗口使用同一个数据库和同样的规则。\n"
                                  "每个项目输出一行: 路径, 制表符, 结果。汇总写到标准错误;在终端上标准错误\n"
                                  "还会显示一行进度。按一次Ctrl-C在当前项目结束后停止,按两次立即停止。\n\n命令:\n");
    QList<std::pair<QString, QString>> listed;
    for (const Command& c : all)
        listed.append({c.name, c.summary});
    // `doc` keeps its place before `dwg`.
    for (const HelperCommand& h : kHelperCommands)
        listed.insert(listed.size() - 1, {h.name, h.summary});
    for (const auto& [name, summary] : listed)
        text += QStringLiteral("  %1%2\n").arg(name.leftJustified(10)).arg(summary);
    text += QStringLiteral("\n用 korvane-cli 命令 --help 查看每个命令的说明,korvane-cli --version 显示版本。\n");
    text += commonHelp();
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
    const QList<QByteArray> rawArgs = rawArguments(argc, argv);
    QCoreApplication app(argc, argv);
    setApplicationIdentity();

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
    for (const HelperCommand& h : kHelperCommands) {
        if (h.name == first)
            return execHelper(h.helper, rawArgs.mid(1));
    }
    const auto command = std::find_if(all.begin(), all.end(), [&](const Command& c) { return c.name == first; });
    if (command == all.end())
        return usageError(QStringLiteral("未知命令 %1").arg(first), QStringLiteral("命令 [选项] [参数…]"));
    return runCommand(*command, rawArgs.mid(1));
}
