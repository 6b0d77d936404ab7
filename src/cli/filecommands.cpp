#include "cli/commands.h"

#include "filemanager/batchrun.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"

#include <QDir>
#include <QJsonObject>

#include <cstdlib>
#include <unistd.h>

namespace korvane::cli {

using filemanager::FileAction;
using filemanager::FileStep;
using filemanager::Operation;

namespace {

struct ActionText {
    const char* word; ///< for --json
    QString text;     ///< for the line form
    ItemStatus status;
};

ActionText describe(FileAction action)
{
    switch (action) {
    case FileAction::Move: return {"move", QStringLiteral("移动"), ItemStatus::Ok};
    case FileAction::Copy: return {"copy", QStringLiteral("复制"), ItemStatus::Ok};
    case FileAction::Replace: return {"replace", QStringLiteral("复制并替换"), ItemStatus::Ok};
    case FileAction::Delete: return {"delete", QStringLiteral("删除"), ItemStatus::Ok};
    case FileAction::SkipExists:
        return {"skip-exists", QStringLiteral("跳过: 目标中已有同名文件"), ItemStatus::Skipped};
    case FileAction::SkipSameFile:
        return {"skip-same-file", QStringLiteral("跳过: 目标就是这个文件"), ItemStatus::Skipped};
    case FileAction::SkipReadOnly: return {"skip-read-only", QStringLiteral("跳过: 文件只读"), ItemStatus::Skipped};
    case FileAction::SkipSource:
        return {"skip-source", QStringLiteral("跳过: ") + filemanager::sourceInTargetText(), ItemStatus::Skipped};
    }
    return {"", {}, ItemStatus::Failed};
}

/// The operation the first operand names, with the right number of operands after it.
Operation operationOf(const ParsedArgs& args)
{
    static const QHash<QString, Operation> operations{{QStringLiteral("move"), Operation::Move},
                                                      {QStringLiteral("copy"), Operation::Copy},
                                                      {QStringLiteral("delete"), Operation::Delete},
                                                      {QStringLiteral("force-delete"), Operation::ForceDelete}};
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("缺少操作: move、copy、delete 或 force-delete")};
    const auto op = operations.constFind(args.operands.first());
    if (op == operations.constEnd())
        throw UsageError{QStringLiteral("未知操作 %1").arg(args.operands.first())};
    const bool withTarget = *op == Operation::Move || *op == Operation::Copy;
    const qsizetype wanted = withTarget ? 3 : 2;
    if (args.operands.size() < wanted)
        throw UsageError{withTarget ? QStringLiteral("必须先指定源和目标!") : QStringLiteral("必须先指定源!")};
    if (args.operands.size() > wanted)
        throw UsageError{QStringLiteral("多余的参数 %1").arg(args.operands[wanted])};
    return *op;
}

/// The run the options ask for.
filemanager::RunRequest requestOf(const ParsedArgs& args, Operation op)
{
    if (args.has(QStringLiteral("types")) && args.has(QStringLiteral("type")))
        throw UsageError{QStringLiteral("--types 与 --type 只能选一个")};
    filemanager::RunRequest request;
    if (args.has(QStringLiteral("jobs"))) {
        bool number = false;
        request.workers = args.value(QStringLiteral("jobs")).toInt(&number);
        if (!number || request.workers < 1 || request.workers > 64)
            throw UsageError{QStringLiteral("--jobs 需要 1 到 64 之间的数")};
    }
    const bool withTarget = op == Operation::Move || op == Operation::Copy;
    request.operation = op;
    request.source = absoluteNative(args.rawOperands[1]);
    request.target = withTarget ? absoluteNative(args.rawOperands[2]) : platform::NativePath();
    request.includeSubfolders = !args.has(QStringLiteral("no-subfolders"));
    request.overwrite = !args.has(QStringLiteral("no-overwrite"));
    request.typeListMode = args.has(QStringLiteral("types"));
    request.singleType = args.value(QStringLiteral("type"), QStringLiteral("*.exe"));
    const QString typeList = args.value(QStringLiteral("types"));
    request.typeList = [typeList] { return typeList; };
    return request;
}

/// As rm: the root folder, however the operand reaches it (`a/../..`, a link, a bind mount),
/// is no source unless --no-preserve-root says so.
void refuseRootSource(platform::FileSystem& fs, const ParsedArgs& args, const platform::NativePath& source)
{
    if (args.has(QStringLiteral("no-preserve-root")))
        return;
    const auto folder = fs.info(source, platform::Links::Follow);
    const auto root = fs.info("/", platform::Links::Follow);
    if (folder && root && folder->device == root->device && folder->inode == root->inode)
        throw UsageError{QStringLiteral("源 %1 是根目录 /,不予处理(确要如此,请加 --no-preserve-root)")
                             .arg(platform::displayPath(source))};
}

/// One line (or JSON object) for a file of the run or the plan.
void reportStep(Reporter& out, const FileStep& step, bool dryRun)
{
    const ActionText what = describe(step.action);
    const bool failed = !step.status.ok() && what.status == ItemStatus::Ok;
    const ItemStatus status = failed ? ItemStatus::Failed : what.status;
    const QString result = failed ? what.text + QStringLiteral("失败") : what.text;
    const QString reason = failed ? step.status.message() : QString();
    if (out.json()) {
        QJsonObject figures{{QStringLiteral("action"), QLatin1String(what.word)}};
        if (!step.target.isEmpty())
            figures.insert(QStringLiteral("target"), platform::displayPath(step.target));
        if (dryRun)
            figures.insert(QStringLiteral("planned"), true);
        out.item(platform::displayPath(step.source), status, result, reason, figures);
        return;
    }
    // A line per file: names that are UTF-8 (nearly all) go out as they are, undecoded.
    if (platform::isValidUtf8(step.source) && platform::isValidUtf8(step.target)) {
        out.itemUtf8(step.target.isEmpty() ? step.source : step.source + " → " + step.target, status, result, reason);
        return;
    }
    QString shown = platform::displayPath(step.source);
    if (!step.target.isEmpty())
        shown += QStringLiteral(" → ") + platform::displayPath(step.target);
    out.item(shown, status, result, reason);
}

int runFiles(const ParsedArgs& args, Reporter& out)
{
    const filemanager::RunRequest request = requestOf(args, operationOf(args));
    platform::LocalFileSystem fs;
    refuseRootSource(fs, args, request.source);
    filemanager::BatchFileManager manager(fs);
    const filemanager::Refusal refusal = manager.check(request);
    if (refusal != filemanager::Refusal::None) {
        out.item(platform::displayPath(request.source), ItemStatus::Failed, QStringLiteral("失败"),
                 filemanager::refusalMessage(refusal));
        return out.finish();
    }
    const bool dryRun = args.has(QStringLiteral("dry-run"));
    manager.planOnly = dryRun;
    out.setPlan(dryRun);
    manager.onEmptyTypeList = [&out](const platform::NativePath& folder) {
        out.note(platform::displayPath(folder) + QStringLiteral(": 已选中操作多种类型文件,但没有指定!"));
    };
    manager.onFile = [&out, dryRun](const FileStep& step) { reportStep(out, step, dryRun); };
    const filemanager::RunReport report = manager.run(request, &out.control());
    for (const platform::NativePath& folder : report.unlistedFolders)
        out.item(platform::displayPath(folder), ItemStatus::Failed, QStringLiteral("失败"),
                 QStringLiteral("无法读取目录"));
    return out.finish();
}

} // namespace

Command filesCommand()
{
    return {QStringLiteral("files"),
            QStringLiteral("files move|copy|delete|force-delete [选项] 源 [目标]"),
            QStringLiteral("按文件类型批量移动、复制或删除一个目录树中的文件"),
            QStringLiteral(
                "遍历源目录(默认包括子文件夹),对名称与类型相符的每个文件执行操作。移动和复制时,\n"
                "所有相符的文件都放进同一个目标目录,不保留目录结构。移动从不替换已有文件;\n"
                "删除不删只读文件,强制删除(force-delete)连只读文件也删除。\n\n"
                "选项:\n"
                "  --type 类型      单一类型,比较名称的最后三个字符,如 .txt 或 *.txt(默认 *.exe)\n"
                "  --types 列表     多种类型,以分号分隔,比较名称的结尾,如 \"chm;doc\"\n"
                "  --no-subfolders  不包含子文件夹\n"
                "  --no-overwrite   复制时不替换目标中的同名文件\n"
                "  --dry-run        只列出计划,不做任何改动: 每个文件的 源 → 目标 和将要做的事\n"
                "  --jobs N         同时复制或移动 N 个文件(默认: 机械硬盘或单核时 1 个,否则按处理器核数,最多 4 个)\n"
                "  --no-preserve-root  允许以根目录 / 为源(默认拒绝,包括经 .. 或链接到达根目录的源)\n"),
            {{QStringLiteral("type"), true},
             {QStringLiteral("types"), true},
             {QStringLiteral("no-subfolders"), false},
             {QStringLiteral("no-overwrite"), false},
             {QStringLiteral("dry-run"), false},
             {QStringLiteral("jobs"), true},
             {QStringLiteral("no-preserve-root"), false}},
            runFiles};
}

} // namespace korvane::cli
