#include "cli/commands.h"

#include "batchlist/batchlist.h"
#include "batchlist/compiler.h"
#include "components/registration.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/qtprogramstarter.h"

#include <QJsonArray>
#include <QJsonObject>

namespace korvane::cli {

namespace {

/// One folder's registration as items; Last when the command can go no further.
OperandEnd reportRegistration(Reporter& out, const components::RegistrationRun& run, const QString& folder,
                              bool& registrarMissing)
{
    using Outcome = components::RegistrationRun::Outcome;
    switch (run.outcome) {
    case Outcome::NotAFolder:
        out.item(folder, ItemStatus::Failed, QStringLiteral("失败"),
                 QStringLiteral("目录\"%1\"不存在!").arg(run.folder));
        return OperandEnd::Next;
    case Outcome::Unreadable:
        out.item(folder, ItemStatus::Failed, QStringLiteral("失败"),
                 QStringLiteral("无法读取目录\"%1\": %2").arg(run.folder, run.error.message()));
        return OperandEnd::Next;
    case Outcome::NoFiles:
        out.item(folder, ItemStatus::Skipped, QStringLiteral("跳过"), QStringLiteral("该目录下面没有文件!"));
        return OperandEnd::Next;
    case Outcome::NoRegistrar:
    case Outcome::PrefixFailed:
        out.note(components::registrationMessage(run, {}, {}).text);
        registrarMissing = true;
        return OperandEnd::Last;
    case Outcome::Registered: break;
    }
    if (run.libraries == 0) {
        out.item(folder, ItemStatus::Skipped, QStringLiteral("跳过"), QStringLiteral("该目录下面没有dll或ocx文件"));
        return OperandEnd::Next;
    }
    for (const QString& file : run.registered)
        out.item(file, ItemStatus::Ok, QStringLiteral("已注册"));
    for (const components::RegistrationFailure& failure : run.failures)
        out.item(failure.file, ItemStatus::Failed,
                 failure.started ? QStringLiteral("注册失败") : QStringLiteral("未注册"), failure.reason,
                 {{QStringLiteral("started"), failure.started}});
    if (!run.stopped)
        return OperandEnd::Next;
    out.note(QStringLiteral("%1: %2 个组件未注册")
                 .arg(folder)
                 .arg(run.libraries - run.registered.size() - run.failures.size()));
    return OperandEnd::Last;
}

int runRegister(const ParsedArgs& args, Reporter& out)
{
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("请先输入要注册的目录!")};
    platform::LocalFileSystem fs;
    platform::QtProgramStarter programs;
    bool registrarMissing = false;
    const int exit =
        forEachOperand(args.rawOperands, out, [&](const platform::NativePath& native, const QString& folder) {
            const components::RegistrationRun run =
                components::registerFolder(fs, programs, native, &out.itemControl());
            return reportRegistration(out, run, folder, registrarMissing);
        });
    return registrarMissing ? int(kExitProgramMissing) : exit;
}

int runCompile(const ParsedArgs& args, Reporter& out)
{
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("列表为空,请先添加工程文件到列表!")};
    const QString compiler =
        batchlist::trimSpaces(args.value(QStringLiteral("compiler"), batchlist::defaultCompilerPath()));
    platform::LocalFileSystem fs;
    platform::QtProgramStarter programs;
    if (const platform::Status problem = batchlist::compilerProblem(fs, programs, compiler); !problem.ok()) {
        out.note(problem.message() + QStringLiteral(" (%1)").arg(compiler));
        return kExitProgramMissing;
    }
    int seconds = 600;
    if (args.has(QStringLiteral("time-limit"))) {
        bool ok = false;
        seconds = args.value(QStringLiteral("time-limit")).toInt(&ok);
        if (!ok || seconds <= 0)
            throw UsageError{QStringLiteral("--time-limit 需要一个正整数(秒)")};
    }
    std::vector<batchlist::BatchEntry> projects;
    for (const QByteArray& operand : args.rawOperands) {
        // The raw name goes in: one the compiler cannot be given is refused, never altered.
        const platform::NativePath native = absoluteNative(batchlist::trimSpaces(operand));
        projects.push_back({platform::displayPath(native), native});
    }
    platform::RunControl& control = out.control();
    control.setTotal(qint64(projects.size()));
    batchlist::CompileOptions options;
    options.timeoutMs = seconds * 1000;
    const std::vector<batchlist::ProjectCompile> compiles =
        batchlist::compileProjects(fs, programs, compiler, projects, &control, options);
    qint64 left = 0;
    using Result = batchlist::ProjectCompile::Result;
    for (size_t i = 0; i < projects.size(); ++i) {
        const batchlist::ProjectCompile& compile = compiles[i];
        for (const QString& warning : compile.warnings)
            out.note(projects[i].text + QStringLiteral(": ") + warning.trimmed());
        QStringList lines = batchlist::compileLines(compile).mid(compile.warnings.size());
        const QString result = lines.isEmpty() ? QString() : lines.takeFirst().trimmed();
        for (QString& line : lines)
            line = line.trimmed();
        QJsonObject figures{{QStringLiteral("exitCode"), compile.exitCode},
                            {QStringLiteral("warnings"), QJsonArray::fromStringList(compile.warnings)},
                            {QStringLiteral("errors"), QJsonArray::fromStringList(compile.errorLines)}};
        const QString reason = lines.join(QLatin1Char('\n'));
        switch (compile.result) {
        case Result::Done: out.item(projects[i].text, ItemStatus::Ok, result, {}, figures); break;
        case Result::Stopped: ++left; break;
        default:
            // Without the compiler's own lines (a time limit, a crash) the result is the reason;
            // as a figure, so that the text form does not say it twice.
            if (reason.isEmpty())
                figures.insert(QStringLiteral("reason"), result);
            out.item(projects[i].text, ItemStatus::Failed, result, reason, figures);
        }
    }
    return out.finish(left);
}

} // namespace

QList<Command> programCommands()
{
    return {
        {QStringLiteral("register"),
         QStringLiteral("register 文件夹…"),
         QStringLiteral("注册每个文件夹中的全部dll和ocx组件"),
         QStringLiteral(
             "为文件夹中直接包含的每个名称以 dll 或 ocx 结尾的文件通过 wine 运行 regsvr32 /s 并等待其结束。\n"
             "注册前先检查每个文件: 是否Windows程序库、位数与wine是否相符、是否导出DllRegisterServer、\n"
             "依赖的dll是否齐全;不能注册的文件不会启动。只有退出码为0才算注册成功。\n"
             "使用 WINEPREFIX 所指的Wine环境(默认 ~/.wine),不存在时先建立。\n"),
         {},
         runRegister},
        {QStringLiteral("compile"),
         QStringLiteral("compile [--compiler 路径] [--time-limit 秒] 工程…"),
         QStringLiteral("用指定的编译器批量编译VB6工程(.vbp)"),
         QStringLiteral(
             "为每个工程同时启动一次编译器 /MAKE 工程 /out 日志,并等待其结束;编译失败时显示编译器的错误行。\n"
             "名称以 .exe 结尾的编译器通过 wine 运行(使用 WINEPREFIX 所指的Wine环境)。\n"
             "编译前检查工程: 缺少的文件、Wine中未注册的类型库、只用LF换行的源文件(仅警告)。\n"
             "不是普通文件的工程(文件夹、命名管道、设备)不打开, 也不编译。\n\n"
             "选项:\n"
             "  --compiler 路径       编译器(默认是wine中的 VB98/VB6.EXE)\n"
             "  --time-limit 秒       每个工程的时间限制(默认600),超时的编译器被停止\n"),
         {{QStringLiteral("compiler"), true}, {QStringLiteral("time-limit"), true}},
         runCompile},
    };
}

} // namespace korvane::cli
