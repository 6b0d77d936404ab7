#include "cli/commands.h"

#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/uniquefd.h"
#include "wordcrypt/documentrun.h"
#include "wordcrypt/documentsteps.h"
#include "wordcrypt/documentword.h"

#include <QJsonObject>
#include <algorithm>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace korvane::cli {

namespace {

/// Reads one line from the terminal with echo off; nullopt without a terminal or at its end.
std::optional<QString> askNoEcho(const QString& prompt)
{
    const platform::UniqueFd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC));
    if (!tty.valid())
        return std::nullopt;
    const int fd = tty.get();
    const QByteArray shown = prompt.toUtf8();
    (void)!::write(fd, shown.constData(), size_t(shown.size()));
    termios saved{};
    const bool isTerminal = ::tcgetattr(fd, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        setPromptTerminal(fd, &saved);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    char c = 0;
    bool ended = false;
    while (true) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        if (c == '\n')
            break;
        line += c;
    }
    if (isTerminal) {
        ::tcsetattr(fd, TCSAFLUSH, &saved);
        setPromptTerminal(fd, nullptr);
    }
    (void)!::write(fd, "\n", 1);
    if (ended && line.isEmpty())
        return std::nullopt;
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

/// The office's question for a document that needs its current password, asked on the terminal.
/// With `--same-password` the answer is kept for the remaining documents of the run.
class TerminalPasswordPrompt final : public wordcrypt::BatchPasswordPrompt {
public:
    explicit TerminalPasswordPrompt(bool same) : m_same(same) {}
    std::optional<QString> askPassword(const QString& fileName) override
    {
        return askNoEcho(QStringLiteral("打开 %1 需要密码: ").arg(fileName));
    }
    std::optional<wordcrypt::PasswordAnswer> askForRun(const QString& fileName, bool again) override
    {
        const std::optional<QString> password =
            again ? askNoEcho(QStringLiteral("记住的密码不能打开 %1, 请输入它的密码: ").arg(fileName))
                  : askPassword(fileName);
        if (!password)
            return std::nullopt;
        // A password typed for a document the kept one did not open is for that document alone.
        return wordcrypt::PasswordAnswer{*password, m_same && !again};
    }

private:
    bool m_same;
};

/// The current password given in a file, for every document that asks.
class GivenPasswordPrompt final : public platform::DocumentPasswordPrompt {
public:
    explicit GivenPasswordPrompt(QString password) : m_password(std::move(password)) {}
    std::optional<QString> askPassword(const QString&) override { return m_password; }

private:
    QString m_password;
};

/// Passwords are short lines: anything longer than this is not a password file.
constexpr qsizetype kMaxPasswordFileBytes = 4096;

/// The lines of a password file (a regular file or a pipe, as `<(…)` gives), CR LF or LF.
/// nullopt, with a note, when it cannot be read or is no such file.
std::optional<QStringList> readPasswordFile(platform::FileSystem& fs, const QByteArray& operand, Reporter& out)
{
    const platform::NativePath path = absoluteNative(operand);
    const auto refuse = [&](const QString& why) -> std::optional<QStringList> {
        out.note(QStringLiteral("无法读取密码文件 %1: %2").arg(platform::displayPath(path), why));
        return std::nullopt;
    };
    // Judged before the read, which would wait for a writer on a named pipe. The read is
    // bounded, so a device put in its place meanwhile (/dev/zero) ends as too long.
    const platform::Result<platform::FileInfo> info = fs.info(path, platform::Links::Follow);
    if (!info)
        return refuse(info.status().message());
    if (!S_ISREG(info->mode) && !S_ISFIFO(info->mode))
        return refuse(QStringLiteral("不是普通文件或管道"));
    const platform::Result<QByteArray> content = fs.readFile(path, kMaxPasswordFileBytes + 1);
    if (!content)
        return refuse(content.status().message());
    if (content->size() > kMaxPasswordFileBytes)
        return refuse(QStringLiteral("文件超过 %1 字节,不是密码文件").arg(kMaxPasswordFileBytes));
    QStringList lines;
    for (QByteArray& line : content->split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        lines << QString::fromUtf8(line);
    }
    return lines;
}

/// The two passwords of `doc protect`, from the password file or asked on the terminal. nullopt
/// (with a note) when the password file cannot be read.
std::optional<std::pair<QString, QString>> protectPasswords(const std::optional<QStringList>& file)
{
    if (file)
        return std::pair{file->value(0), file->value(1)};
    const std::optional<QString> open = askNoEcho(QStringLiteral("打开文档时的密码: "));
    const std::optional<QString> modify = open ? askNoEcho(QStringLiteral("修改文档时的密码: ")) : std::nullopt;
    if (!open || !modify)
        throw UsageError{QStringLiteral("没有终端可以输入密码,请用 --password-file 指定密码文件")};
    return std::pair{*open, *modify};
}

/// The operands that name existing files, absolute; the others are reported as failed here,
/// before the office is started for nothing.
QList<platform::NativePath> existingDocuments(platform::FileSystem& fs, const QList<QByteArray>& files, Reporter& out)
{
    QList<platform::NativePath> documents;
    for (const QByteArray& operand : files) {
        const platform::NativePath path = absoluteNative(operand);
        if (fs.fileExists(path))
            documents << path;
        else
            out.item(platform::displayPath(path), ItemStatus::Failed, QStringLiteral("失败"),
                     wordcrypt::unreachableText(fs, path));
    }
    return documents;
}

/// `protect` or `unprotect`, the first operand: true for `protect`.
bool protectAction(const ParsedArgs& args)
{
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("缺少操作: protect 或 unprotect")};
    const QString action = args.operands.first();
    if (action != QLatin1String("protect") && action != QLatin1String("unprotect"))
        throw UsageError{QStringLiteral("未知操作 %1").arg(action)};
    if (args.rawOperands.size() < 2)
        throw UsageError{QStringLiteral("列表为空,请先添加文档到列表!")};
    return action == QLatin1String("protect");
}

/// What the password files say: the lines of --password-file, and the current password of
/// documents that have one (its third line, or --current-password-file; none: asked on the
/// terminal, document by document). False, with a note, when a file cannot be read.
struct PasswordFiles {
    std::optional<QStringList> passwords;
    std::optional<QString> current;
};
bool readPasswordFiles(platform::FileSystem& fs, const ParsedArgs& args, Reporter& out, PasswordFiles* files)
{
    const QString passwordFileOption = QStringLiteral("password-file");
    const QString currentFileOption = QStringLiteral("current-password-file");
    std::optional<QStringList>& passwords = files->passwords;
    if (args.has(passwordFileOption) && !(passwords = readPasswordFile(fs, args.raw(passwordFileOption), out)))
        return false;
    if (args.has(currentFileOption)) {
        if (passwords && passwords->size() > 2 && !passwords->at(2).isEmpty())
            throw UsageError{
                QStringLiteral("当前密码只能来自 --password-file 的第三行或 --current-password-file 之一")};
        const std::optional<QStringList> lines = readPasswordFile(fs, args.raw(currentFileOption), out);
        if (!lines)
            return false;
        files->current = lines->value(0);
    } else if (passwords && passwords->size() > 2) {
        files->current = passwords->at(2);
    }
    return true;
}

/// The passwords `protect` sets, refused before anything starts when the format cannot hold them.
void takeProtectPasswords(const std::optional<QStringList>& file, wordcrypt::DocumentRunSettings* settings)
{
    std::tie(settings->password, settings->writePassword) = *protectPasswords(file);
    if (settings->password.isEmpty() && settings->writePassword.isEmpty())
        throw UsageError{QStringLiteral("两个密码都是空的;要去掉密码请用 doc unprotect")};
    if (const platform::Status checked = wordcrypt::DocumentEncryptor::checkPasswords(*settings); !checked.ok())
        throw UsageError{checked.message()};
}

/// One document's item: done (with a note such as a change of format), or failed with its reasons.
void reportDocument(Reporter& out, const QString& doneText, const wordcrypt::DocumentOutcome& outcome)
{
    const QString path = platform::displayPath(outcome.path);
    const auto joined = [](const QStringList& lines) {
        QStringList trimmed;
        for (const QString& line : lines)
            trimmed << line.trimmed();
        return trimmed.join(QStringLiteral("; "));
    };
    if (!outcome.failures.isEmpty())
        out.item(path, ItemStatus::Failed, QStringLiteral("失败"), joined(outcome.failures));
    else if (!outcome.notes.isEmpty())
        out.item(path, ItemStatus::Ok, QStringLiteral("%1(%2)").arg(doneText, joined(outcome.notes)));
    else
        out.item(path, ItemStatus::Ok, doneText);
}

int runDoc(const ParsedArgs& args, Reporter& out)
{
    const bool protect = protectAction(args);
    platform::LocalFileSystem fs;
    PasswordFiles files;
    if (!readPasswordFiles(fs, args, out, &files))
        return kExitUsage;
    wordcrypt::DocumentRunSettings settings;
    if (protect)
        takeProtectPasswords(files.passwords, &settings);
    settings.documents = existingDocuments(fs, args.rawOperands.mid(1), out);
    if (settings.documents.isEmpty())
        return out.finish();

    // Word 97-2003 documents are served natively; only the others need the office helper.
    const QString helper = helperProgram(QStringLiteral("korvane-unohelper"));
    if (helper.isEmpty() &&
        std::any_of(settings.documents.cbegin(), settings.documents.cend(), wordcrypt::needsOffice)) {
        out.note(wordcrypt::libreOfficeMissingText());
        return kExitProgramMissing;
    }
    TerminalPasswordPrompt terminalPrompt(args.has(QStringLiteral("same-password")));
    GivenPasswordPrompt givenPrompt(files.current.value_or(QString()));
    wordcrypt::RunPasswordPrompt terminalRun(terminalPrompt);
    wordcrypt::RunPasswordPrompt givenRun(givenPrompt);
    wordcrypt::RunPasswordPrompt& prompt = files.current ? givenRun : terminalRun;
    wordcrypt::DocumentWord word({helper, {}}, prompt);
    wordcrypt::DocumentEncryptor engine(word, prompt);

    // A modify password alone encrypts nothing: the document still opens without a password.
    const QString doneText = !protect                      ? QStringLiteral("已去掉密码")
                             : settings.password.isEmpty() ? QStringLiteral("已设置修改密码")
                                                           : QStringLiteral("已加密");
    qint64 reported = 0;
    const platform::Status started = engine.run(
        settings, out.control(), [&out](const QString& line) { out.note(line); },
        [&](const wordcrypt::DocumentOutcome& outcome) {
            ++reported;
            reportDocument(out, doneText, outcome);
        });
    if (!started.ok()) {
        out.note(started.message());
        return kExitProgramMissing;
    }
    return out.finish(settings.documents.size() - reported);
}

} // namespace

Command docCommand()
{
    return {QStringLiteral("doc"),
            QStringLiteral(
                "doc protect|unprotect [--password-file 文件] [--current-password-file 文件] [--same-password] 文档…"),
            QStringLiteral("设置或去掉Word文档(.doc)的打开密码和修改密码"),
            QStringLiteral("设置(protect)或去掉(unprotect)每个文档的打开密码和修改密码,文档原地保存。\n"
                           "Word 97-2003 文档由 Korvane 自己在文档的数据中加密、解密,不启动 LibreOffice;\n"
                           "只有 Word 6.0/95 文档、XOR 混淆加密的文档和其他加密方式的文档交给 LibreOffice,\n"
                           "它们保存为 Word 97 格式(结果注明\"已转存为Word 97格式\")。\n"
                           "密码从不取自命令行(其他用户可以看到命令行):\n"
                           "不带 --password-file 时在终端上输入,不显示字符。已加密的文档需要原密码才能打开时,\n"
                           "原密码取自密码文件的第三行或 --current-password-file,都没有时在终端上询问。\n"
                           "密码文件必须是普通文件或管道,最多 4096 字节。\n\n"
                           "选项:\n"
                           "  --password-file 文件  第一行是打开密码,第二行是修改密码(unprotect 不用这两行),\n"
                           "                        第三行(可选)是文档现有的打开密码\n"
                           "  --current-password-file 文件  第一行是文档现有的打开密码\n"
                           "  --same-password       在终端上输入的原密码也用于其余需要原密码的文档;\n"
                           "                        打不开某个文档时再为它询问\n"),
            {{QStringLiteral("password-file"), true},
             {QStringLiteral("current-password-file"), true},
             {QStringLiteral("same-password"), false}},
            runDoc};
}

} // namespace korvane::cli
