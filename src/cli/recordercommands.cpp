#include "cli/commands.h"

#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "recorder/contentlookup.h"
#include "recorder/filedatabase.h"
#include "recorder/recording.h"
#include "recorder/sizelookup.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>

namespace korvane::cli {

using recorder::FileDatabase;

namespace {

const OptionDef kDbOption{QStringLiteral("db"), true};

/// The database file in the kernel's bytes: a `--db` that is not UTF-8 names that very file,
/// never a decoded look-alike.
platform::NativePath databaseFile(const ParsedArgs& args)
{
    return args.has(QStringLiteral("db"))
               ? absoluteNative(args.raw(QStringLiteral("db")))
               : QFile::encodeName(QDir(korvaneFolder()).filePath(QStringLiteral("db1.mdb")));
}

int runRecord(const ParsedArgs& args, Reporter& out)
{
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("没有输入要记录路径!")};
    const platform::NativePath dbFile = databaseFile(args);
    const QString dbPath = platform::displayPath(dbFile);
    FileDatabase db(dbFile);
    if (!db.isOpen()) {
        out.note(recorder::failureText(db, db.openStatus(), dbPath));
        return kExitSomeFailed;
    }
    platform::LocalFileSystem fs;
    recorder::TypeDescriber types;
    return forEachOperand(args.rawOperands, out, [&](const platform::NativePath& native, const QString& folder) {
        if (!fs.folderExists(native)) {
            out.item(folder, ItemStatus::Failed, QStringLiteral("失败"), QStringLiteral("目录不存在"));
            return OperandEnd::Next;
        }
        // The log row goes into the run's transaction: a kill leaves both or neither.
        const recorder::RecordReport report = recorder::recordFolder(fs, db, native, types, &out.itemControl(), folder);
        if (report.stopped)
            return OperandEnd::Undone; // rolled back: the folder counts as not done
        const QJsonObject figures{{QStringLiteral("files"), report.files}, {QStringLiteral("stored"), report.stored}};
        const platform::Status& stored = report.store;
        if (!report.recorded) {
            out.item(folder, ItemStatus::Skipped, QStringLiteral("跳过"), QStringLiteral("目录中没有文件"), figures);
        } else if (!stored) {
            out.item(folder, ItemStatus::Failed, QStringLiteral("失败"), recorder::storeFailureText(db, stored, dbPath),
                     figures);
        } else {
            out.item(folder, ItemStatus::Ok, QStringLiteral("已记录 %1 个文件").arg(report.stored), {}, figures);
        }
        return OperandEnd::Next;
    });
}

int unitPosition(const QString& unit)
{
    // The window's list is MB, KB, Byte; one step further up is GB.
    const QStringList units{QStringLiteral("GB"), QStringLiteral("MB"), QStringLiteral("KB"), QStringLiteral("Byte")};
    for (int i = 0; i < units.size(); ++i) {
        if (unit.compare(units[i], Qt::CaseInsensitive) == 0)
            return i - 1;
    }
    throw UsageError{QStringLiteral("单位必须是 Byte、KB、MB 或 GB 之一: %1").arg(unit)};
}

/// A number as the window reads it, but nothing else: text that does not start with one
/// would read as 0 and list every empty file.
void requireNumber(const QString& text, const QString& what)
{
    static const QRegularExpression number(QStringLiteral(
        R"(^\s*[+-]?(\d+\.?\d*|\.\d+)([eEdD][+-]?\d+)?\s*$|^\s*&[hH][0-9a-fA-F]+\s*$|^\s*&[oO][0-7]+\s*$)"));
    if (!number.match(text).hasMatch())
        throw UsageError{QStringLiteral("%1不是数字: %2").arg(what, text)};
}

/// One place a lookup by content found, or did not find, a recorded name.
void reportMatch(Reporter& out, const recorder::ContentMatch& match, const QString& file, bool withFile)
{
    if (out.json()) {
        QJsonObject object{{QStringLiteral("name"), match.name},
                           {QStringLiteral("bytes"), match.bytes},
                           {QStringLiteral("content"), recorder::contentKeyword(match.content)}};
        if (match.content != recorder::Content::Missing)
            object.insert(QStringLiteral("foundAt"), platform::displayPath(match.foundAt));
        if (!match.reason.isEmpty())
            object.insert(QStringLiteral("reason"), match.reason);
        if (withFile)
            object.insert(QStringLiteral("file"), file);
        out.jsonLine(object);
        return;
    }
    // As grep names the file only when given several.
    out.line((withFile ? file + QLatin1Char('\t') : QString()) + match.name + QLatin1Char('\t') +
             recorder::contentText(match));
}

/// lookup --like: is each FILE already at hand in a recorded folder, under any recorded name?
int runLikeLookup(const ParsedArgs& args, Reporter& out)
{
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("没有输入要比较的文件")};
    if (args.has(QStringLiteral("unit")) || args.has(QStringLiteral("tolerance")))
        throw UsageError{QStringLiteral("--like 按文件的确切大小查找,不能与 --unit 或 --tolerance 同用")};
    const platform::NativePath dbFile = databaseFile(args);
    FileDatabase db(dbFile);
    if (!db.isOpen()) {
        out.note(recorder::failureText(db, db.openStatus(), platform::displayPath(dbFile)));
        return kExitLookupFailed;
    }
    platform::LocalFileSystem fs;
    const bool several = args.rawOperands.size() > 1;
    bool same = false;
    bool failed = false;
    for (const QByteArray& operand : args.rawOperands) {
        const platform::NativePath file = absoluteNative(operand);
        const QString shown = platform::displayPath(file);
        const recorder::ContentLookup found =
            recorder::lookUpByContent(fs, db, file, std::max(1, QThread::idealThreadCount()), &out.itemControl());
        if (found.databaseFailed) {
            out.note(recorder::failureText(db, found.status, platform::displayPath(dbFile)));
            return kExitLookupFailed;
        }
        if (!found.status) {
            out.item(shown, ItemStatus::Failed, QStringLiteral("失败"), found.status.message());
            failed = true;
            continue;
        }
        for (const recorder::ContentMatch& match : found.matches)
            reportMatch(out, match, shown, several);
        if (found.matches.empty() && !found.stopped)
            out.note(several ? shown + QStringLiteral(": 没有记录!") : QStringLiteral("没有记录!"));
        if (found.stopped || out.stopRequested()) {
            out.note(QStringLiteral("操作已取消"));
            return kExitCancelled;
        }
        same = same || found.anySame();
    }
    out.note(same ? QStringLiteral("找到内容相同的文件") : QStringLiteral("没有找到内容相同的文件"));
    return same && !failed ? kExitOk : kExitNoneFound;
}

int runLookup(const ParsedArgs& args, Reporter& out)
{
    if (args.has(QStringLiteral("like")))
        return runLikeLookup(args, out);
    if (args.operands.size() != 1)
        throw UsageError{args.operands.isEmpty() ? QStringLiteral("没有输入要查找的文件大小")
                                                 : QStringLiteral("只能输入一个文件大小")};
    const int position = unitPosition(args.value(QStringLiteral("unit"), QStringLiteral("MB")));
    const QString tolerance = args.value(QStringLiteral("tolerance"), QStringLiteral("1"));
    requireNumber(args.operands.first(), QStringLiteral("文件大小"));
    requireNumber(tolerance, QStringLiteral("误差"));
    const platform::NativePath dbFile = databaseFile(args);
    const QString dbPath = platform::displayPath(dbFile);
    FileDatabase db(dbFile);
    if (!db.isOpen()) {
        out.note(recorder::failureText(db, db.openStatus(), dbPath));
        return kExitLookupFailed;
    }
    const recorder::LookupResult result = recorder::lookUpBySize(db, args.operands.first(), tolerance, position);
    for (qsizetype i = 0; i < result.names.size(); ++i) {
        if (out.json())
            out.jsonLine({{QStringLiteral("path"), result.names[i]},
                          {QStringLiteral("status"), QStringLiteral("ok")},
                          {QStringLiteral("bytes"), result.sizes.value(i)}});
        else
            out.line(result.names[i]);
    }
    // grep's convention: found, nothing found, trouble.
    switch (result.outcome) {
    case recorder::LookupResult::Outcome::Listed:
        out.note(QStringLiteral("找到 %1 个文件").arg(result.names.size()));
        return kExitOk;
    case recorder::LookupResult::Outcome::NoneInRange: out.note(QStringLiteral("没有记录!")); return kExitNoneFound;
    case recorder::LookupResult::Outcome::Failed: break;
    }
    out.note(QStringLiteral("没有记录"));
    return kExitLookupFailed;
}

QString cellText(const QVariant& value)
{
    if (value.isNull())
        return {};
    if (value.userType() == QMetaType::QDateTime)
        return FileDatabase::dateTimeText(value.toDateTime());
    return value.toString();
}

int runLog(const ParsedArgs& args, Reporter& out)
{
    if (!args.operands.isEmpty())
        throw UsageError{QStringLiteral("多余的参数 %1").arg(args.operands.first())};
    // --delete-last was the first name of --delete-oldest; scripts may still use it.
    const bool deleteOldest = args.has(QStringLiteral("delete-oldest")) || args.has(QStringLiteral("delete-last"));
    const bool clear = args.has(QStringLiteral("clear"));
    if (deleteOldest && clear)
        throw UsageError{QStringLiteral("--delete-oldest 与 --clear 只能选一个")};
    const platform::NativePath dbFile = databaseFile(args);
    const QString dbPath = platform::displayPath(dbFile);
    FileDatabase db(dbFile);
    const auto failed = [&](const platform::Status& failure) {
        out.note(recorder::failureText(db, failure, dbPath));
        return kExitSomeFailed;
    };
    if (deleteOldest || clear) {
        const platform::Result<bool> empty = db.isEmpty(recorder::Table::Log);
        if (!empty)
            return failed(empty.status());
        if (*empty) {
            out.note(QStringLiteral("没有记录!"));
            return kExitOk;
        }
        if (const platform::Status deleted = clear ? db.deleteAllRows(recorder::Table::Log) : db.deleteFirstLogRow();
            !deleted)
            return failed(deleted);
        if (clear)
            out.note(QStringLiteral("已清空日志信息"));
        return kExitOk;
    }
    const platform::Result<recorder::LogListing> listing = db.listLog();
    if (!listing)
        return failed(listing.status());
    for (const recorder::LogListing::Row& row : listing->rows) {
        if (out.json())
            out.jsonLine({{QStringLiteral("path"), cellText(row.folder)},
                          {QStringLiteral("status"), QStringLiteral("ok")},
                          {QStringLiteral("logtime"), cellText(row.logtime)}});
        else
            out.line(cellText(row.folder) + QLatin1Char('\t') + cellText(row.logtime));
    }
    return kExitOk;
}

} // namespace

QList<Command> recorderCommands()
{
    const QString dbHelp = QStringLiteral("  --db 文件        使用另一个数据库(默认是Korvane文件夹中的 db1.mdb)\n");
    return {
        {QStringLiteral("record"),
         QStringLiteral("record [选项] 文件夹…"),
         QStringLiteral("记录每个文件夹中文件的信息到数据库"),
         QStringLiteral("记录每个文件夹中直接包含的文件(不进入子文件夹)的名称、类型、大小和修改时间,\n"
                        "每个文件夹一次写入,并在日志中记下一行。\n\n选项:\n") +
             dbHelp,
         {kDbOption},
         runRecord},
        {QStringLiteral("lookup"),
         QStringLiteral("lookup [选项] 大小 | lookup --like 文件…"),
         QStringLiteral("按大小或按内容查找已记录的文件"),
         QStringLiteral("列出大小在 (大小 ± 误差) × 单位 之内的已记录文件名,每行一个;--json 时每个文件还带\n"
                        "字节数(bytes)。数据库只记文件名,不记所在文件夹。大小和误差必须是数字(读法与窗口相同)。\n"
                        "退出码: 0 找到文件, 1 没有找到, 2 参数错误或无法读取数据库。\n\n"
                        "--like 文件…: 以每个文件的确切字节数查找;每个这样大小的已记录文件名,到日志中的每个\n"
                        "文件夹(最近记录的在前)找同名同大小的文件,逐字节与所给文件比较(遇到第一个不同即停)。\n"
                        "每处一行: 文件名和“内容相同: 路径”、“内容不同: 路径”,在哪个文件夹都找不到时为\n"
                        "“已不在记录的文件夹中”(文件夹已从日志删除,或文件在记录后被移走、改名或删除)。\n"
                        "给出多个文件时每行以所给文件开头。--json: name、bytes、content(same、different、\n"
                        "missing)和 foundAt(找到的路径)。只读不写。退出码: 0 有内容相同的文件, 1 没有(或某个\n"
                        "文件无法读取), 2 参数错误或无法读取数据库。\n\n"
                        "选项:\n"
                        "  --unit 单位      Byte、KB、MB 或 GB(默认 MB)\n"
                        "  --tolerance N    误差(默认 1)\n"
                        "  --like           按内容查找: 参数是文件\n") +
             dbHelp,
         {kDbOption,
          {QStringLiteral("unit"), true},
          {QStringLiteral("tolerance"), true},
          {QStringLiteral("like"), false}},
         runLookup},
        {QStringLiteral("log"),
         QStringLiteral("log [--delete-oldest | --clear]"),
         QStringLiteral("列出、删除或清空记录日志"),
         QStringLiteral("不带选项时列出日志,每行一个文件夹和记录时间,以制表符分隔(--json: path 和 logtime)。\n\n"
                        "选项:\n"
                        "  --delete-oldest  删除最早记下的一条日志,与窗口的“删除”相同(旧名 --delete-last 仍可用)\n"
                        "  --clear          清空日志\n") +
             dbHelp,
         {kDbOption,
          {QStringLiteral("delete-oldest"), false},
          {QStringLiteral("delete-last"), false},
          {QStringLiteral("clear"), false}},
         runLog},
    };
}

} // namespace korvane::cli
