#include "cli/commands.h"

#include "batchlist/batchlist.h"
#include "batchlist/compiler.h"
#include "components/registration.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/qtprogramstarter.h"

namespace korvane::cli {

namespace {

int runRegister(const ParsedArgs& args, Reporter& out)
{
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("请先输入要注册的目录!")};
    platform::LocalFileSystem fs;
    platform::QtProgramStarter programs;
    platform::RunControl& control = out.control();
    control.setTotal(args.operands.size());
    qint64 left = args.operands.size();
    using Outcome = components::RegistrationRun::Outcome;
    for (const QByteArray& operand : args.rawOperands) {
        if (control.stopRequested())
            break;
        const platform::NativePath native = absoluteNative(operand);
        const QString folder = platform::displayPath(native);
        control.begin(folder);
        const components::RegistrationRun run = components::registerFolder(fs, programs, native, &out.itemControl());
        --left;
        control.advance();
        switch (run.outcome) {
        case Outcome::NotAFolder:
            out.item(folder, ItemStatus::Failed, QStringLiteral("失败"),
                     QStringLiteral("目录\"%1\"不存在!").arg(run.folder));
            continue;
        case Outcome::Unreadable:
            out.item(folder, ItemStatus::Failed, QStringLiteral("失败"),
                     QStringLiteral("无法读取目录\"%1\": %2").arg(run.folder, run.error));
            continue;
        case Outcome::NoFiles:
            out.item(folder, ItemStatus::Skipped, QStringLiteral("跳过"), QStringLiteral("该目录下面没有文件!"));
            continue;
        case Outcome::NoRegistrar:
            out.note(QStringLiteral("找不到注册程序regsvr32, 也找不到wine, 无法注册dll或ocx文件!"));
            out.finish(left);
            return kExitProgramMissing;
        case Outcome::Registered: break;
        }
        if (run.libraries == 0) {
            out.item(folder, ItemStatus::Skipped, QStringLiteral("跳过"), QStringLiteral("该目录下面没有dll或ocx文件"));
            continue;
        }
        for (const QString& file : run.started)
            out.item(file, ItemStatus::Ok, QStringLiteral("已开始注册"));
        for (const components::RegistrationFailure& failure : run.failures)
            out.item(failure.file, ItemStatus::Failed, QStringLiteral("未能开始注册"), failure.reason);
        if (run.stopped) {
            out.note(QStringLiteral("%1: %2 个组件未开始注册")
                         .arg(folder)
                         .arg(run.libraries - run.started.size() - run.failures.size()));
            break;
        }
    }
    return out.finish(left);
}

int runCompile(const ParsedArgs& args, Reporter& out)
{
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("列表为空,请先添加工程文件到列表!")};
    const QString compiler =
        batchlist::trimSpaces(args.value(QStringLiteral("compiler"), batchlist::defaultCompilerPath()));
    platform::LocalFileSystem fs;
    platform::QtProgramStarter programs;
    if (const QString problem = batchlist::compilerProblem(fs, programs, compiler); !problem.isEmpty()) {
        out.note(problem + QStringLiteral(" (%1)").arg(compiler));
        return kExitProgramMissing;
    }
    platform::RunControl& control = out.control();
    control.setTotal(args.operands.size());
    qint64 left = args.operands.size();
    for (const QByteArray& operand : args.rawOperands) {
        if (control.stopRequested())
            break;
        const platform::NativePath native = absoluteNative(batchlist::trimSpaces(operand));
        const QString project = platform::displayPath(native);
        control.begin(project);
        // The raw name goes in: one the compiler cannot be given is refused, never altered.
        const QString failure = batchlist::startCompile(programs, compiler, {project, native});
        if (failure.isEmpty())
            out.item(project, ItemStatus::Ok, QStringLiteral("已开始编译"));
        else
            out.item(project, ItemStatus::Failed, QStringLiteral("失败"), failure);
        --left;
        control.advance();
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
         QStringLiteral("为文件夹中直接包含的每个名称以 dll 或 ocx 结尾的文件启动一次 regsvr32 /s\n"
                        "(没有 regsvr32 时通过 wine),不等待其结束。\n"),
         {},
         runRegister},
        {QStringLiteral("compile"),
         QStringLiteral("compile [--compiler 路径] 工程…"),
         QStringLiteral("用指定的编译器批量编译VB6工程(.vbp)"),
         QStringLiteral("为每个工程启动一次编译器 /MAKE 工程,不等待其结束。名称以 .exe 结尾的编译器通过 wine 运行。\n\n"
                        "选项:\n"
                        "  --compiler 路径  编译器(默认是wine中的 VB98/VB6.EXE)\n"),
         {{QStringLiteral("compiler"), true}},
         runCompile},
    };
}

} // namespace korvane::cli
