#include "cli/commands.h"

#include "helpdecompiler/decompilerun.h"
#include "helpdecompiler/extractprocess.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/qtprogramstarter.h"

#include <QJsonObject>

namespace korvane::cli {

using helpdecompiler::HelpFileOutcome;

namespace {

void report(Reporter& out, const HelpFileOutcome& outcome)
{
    const QString path = platform::displayPath(outcome.helpFile);
    QJsonObject figures{{QStringLiteral("files"), outcome.extract.files},
                        {QStringLiteral("folders"), outcome.extract.folders},
                        {QStringLiteral("bytes"), qint64(outcome.extract.bytes)},
                        {QStringLiteral("project"), outcome.projectWritten}};
    if (!outcome.outputFolder.isEmpty())
        figures.insert(QStringLiteral("output"), platform::displayPath(outcome.outputFolder));
    if (outcome.clean()) {
        out.item(path, ItemStatus::Ok,
                 QStringLiteral("已反编译到 %1 (%2 个文件)")
                     .arg(platform::displayPath(outcome.outputFolder))
                     .arg(outcome.extract.files),
                 {}, figures);
    } else {
        const ItemStatus status = outcome.skipped.isEmpty() ? ItemStatus::Failed : ItemStatus::Skipped;
        out.item(path, status, status == ItemStatus::Failed ? QStringLiteral("失败") : QStringLiteral("跳过"),
                 helpdecompiler::outcomeProblem(outcome).message(), figures);
    }
}

int runChm(const ParsedArgs& args, Reporter& out)
{
    if (args.operands.isEmpty() || args.operands.first() != QLatin1String("decompile"))
        throw UsageError{args.operands.isEmpty() ? QStringLiteral("缺少操作: decompile")
                                                 : QStringLiteral("未知操作 %1").arg(args.operands.first())};
    const QList<QByteArray> paths = args.rawOperands.mid(1);
    if (paths.isEmpty())
        throw UsageError{QStringLiteral("请设定目标路径!")};

    platform::QtProgramStarter programs;
    const QString helper = helperProgram(QString::fromLatin1(helpdecompiler::kExtractHelperName));
    if (helper.isEmpty()) {
        out.note(QStringLiteral("找不到反编译程序 %1,请重新安装Korvane。")
                     .arg(QString::fromLatin1(helpdecompiler::kExtractHelperName)));
        return kExitProgramMissing;
    }
    platform::LocalFileSystem fs;
    helpdecompiler::ExtractProcess process(programs, fs, helper);
    platform::RunControl& control = out.control();
    qint64 notDone = 0;
    helpdecompiler::DecompileRun run(
        fs, [&process](const platform::NativePath& file, const platform::NativePath& folder, const QByteArray& project,
                       quint64 size) { return process.extract(file, folder, project, size); });
    run.setParallelHelpers(helpdecompiler::DecompileRun::helpersForThisMachine());
    const bool subfolders = args.has(QStringLiteral("subfolders"));
    const bool projects = !args.has(QStringLiteral("no-project"));
    const QString kind = args.value(QStringLiteral("project"));
    if (!kind.isEmpty() && kind != QLatin1String("full") && kind != QLatin1String("hhp"))
        throw UsageError{QStringLiteral("--project 只能是 hhp 或 full")};
    run.setProjectKind(kind == QLatin1String("full") ? helpdecompiler::ProjectKind::Full
                                                     : helpdecompiler::ProjectKind::Hhp);
    for (const QByteArray& operand : paths) {
        const platform::NativePath native = absoluteNative(operand);
        const QString path = platform::displayPath(native);
        QList<HelpFileOutcome> outcomes;
        if (control.stopRequested()) {
            ++notDone;
            continue;
        }
        if (fs.folderExists(native)) {
            platform::RunControl& item = out.itemControl();
            outcomes = run.run(helpdecompiler::normalizedTarget(native), subfolders, projects, &item);
            if (item.stopRequested())
                notDone += run.found() - outcomes.size();
        } else if (fs.fileExists(native)) {
            outcomes.append(run.runFile(native, projects, &out.itemControl()));
        } else {
            out.item(path, ItemStatus::Failed, QStringLiteral("失败"), QStringLiteral("目标路径不存在!"));
            continue;
        }
        for (const HelpFileOutcome& outcome : outcomes) {
            if (outcome.stopped)
                ++notDone;
            else
                report(out, outcome);
        }
    }
    return out.finish(notDone);
}

} // namespace

Command chmCommand()
{
    return {QStringLiteral("chm"),
            QStringLiteral("chm decompile [选项] 路径…"),
            QStringLiteral("批量反编译chm帮助文件,并为每个文件写出hhp工程文件"),
            QStringLiteral("路径可以是chm文件或文件夹。文件夹中名称以 chm 结尾的每个文件都反编译到该文件夹下\n"
                           "以文件名(第一个\".\"之前的部分)命名的子文件夹中;单个文件反编译到它所在的文件夹下。\n\n"
                           "选项:\n"
                           "  --subfolders     同时处理子文件夹中的chm文件\n"
                           "  --no-project     不生成hhp工程文件\n"
                           "  --project 类型   hhp(默认):只写hhp工程文件;full:另写完整工程 工程名.full.hhp\n"
                           "                   (帮助文件自己的标题、默认主题、语言、窗口和上下文映射)\n"),
            {{QStringLiteral("subfolders"), false},
             {QStringLiteral("no-project"), false},
             {QStringLiteral("project"), true}},
            runChm};
}

} // namespace korvane::cli
