#include "batchlist/compiler.h"

#include "platform/filesystem.h"
#include "platform/nativepath.h"
#include "platform/programstarter.h"

#include "platform/runcontrol.h"
#include "platform/settingsstore.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThreadPool>
#include <algorithm>
#include <atomic>

namespace korvane::batchlist {

QString defaultCompilerPath()
{
    return QDir::homePath() + QStringLiteral("/.wine/drive_c/Program Files/Microsoft Visual Studio/VB98/VB6.EXE");
}

namespace {

QString absolute(const QString& path)
{
    return QDir::isAbsolutePath(path) ? path : QFileInfo(path).absoluteFilePath();
}

} // namespace

CompileCommand compileCommand(const QString& compiler, const QString& project, const QString& log)
{
    const QString program = absolute(compiler);
    const bool wine = runsUnderWine(compiler);
    CompileCommand command =
        wine ? CompileCommand{QStringLiteral("wine"),
                              {program, QStringLiteral("/MAKE"), platform::wineWindowsPath(absolute(project))}}
             : CompileCommand{program, {QStringLiteral("/MAKE"), absolute(project)}};
    if (!log.isEmpty())
        command.arguments << QStringLiteral("/out") << (wine ? platform::wineWindowsPath(log) : log);
    return command;
}

bool runsUnderWine(const QString& compiler)
{
    return compiler.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}

platform::Status wineAddressable(const QString& path)
{
    return platform::wineAddressable(absolute(path));
}

platform::Status compilerProblem(platform::FileSystem& fs, platform::ProgramStarter& programs, const QString& compiler)
{
    using platform::ErrorKind;
    using platform::Status;
    if (compiler.isEmpty() || !fs.fileExists(platform::nativePath(compiler)))
        return Status::failure(ErrorKind::NotFound, QStringLiteral("指定的编译器路径错误!"));
    if (runsUnderWine(compiler)) {
        if (programs.findExecutable(QStringLiteral("wine")).isEmpty())
            return Status::failure(ErrorKind::NotFound, QStringLiteral("找不到wine, 无法运行Windows编译器!"));
        if (const Status refused = wineAddressable(compiler); !refused.ok())
            return Status::failure(ErrorKind::Failed, QStringLiteral("编译器路径无法交给wine: ") + refused.message());
    }
    return {};
}

namespace {

/// Whether the project can be handed to the compiler unaltered; a failure says why not.
platform::Status startProblem(const QString& compiler, const BatchEntry& entry)
{
    using platform::ErrorKind;
    using platform::Status;
    // Arguments travel as UTF-8: a raw name in another encoding would reach the compiler altered.
    if (!platform::isValidUtf8(entry.path))
        return Status::failure(ErrorKind::Failed, QStringLiteral("编译器启动失败!工程路径含有无法传递的字符。"));
    if (runsUnderWine(compiler)) {
        if (const Status refused = wineAddressable(entry.text); !refused.ok())
            return Status::failure(ErrorKind::Failed, QStringLiteral("编译器启动失败!") + refused.message());
    }
    return {};
}

} // namespace

platform::Status startCompile(platform::ProgramStarter& programs, const QString& compiler, const BatchEntry& entry)
{
    if (platform::Status problem = startProblem(compiler, entry); !problem.ok())
        return problem;
    const CompileCommand command = compileCommand(compiler, entry.text);
    const platform::Status outcome = programs.startDetached(command.program, command.arguments);
    if (!outcome.ok())
        return platform::Status::failure(outcome.kind(), QStringLiteral("编译器启动失败!") + outcome.message(),
                                         outcome.errnum());
    return {};
}

int compileTimeLimitSeconds(platform::SettingsStore& settings)
{
    bool ok = false;
    const int seconds =
        settings.value(QStringLiteral("Options"), QStringLiteral("CompileTimeLimit"), QString()).toInt(&ok);
    return ok && seconds > 0 ? seconds : 600;
}

namespace {

/// Text a Windows program wrote: UTF-8 when it is, else the Chinese code page.
QString decodeWindowsText(const QByteArray& bytes)
{
    if (platform::isValidUtf8(bytes))
        return QString::fromUtf8(bytes);
    return platform::decodeText(bytes, "GB18030").value_or(QString::fromLatin1(bytes));
}

QStringList textLines(const QString& text)
{
    QStringList lines;
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (!line.trimmed().isEmpty())
            lines << line;
    }
    return lines;
}

/// A file a project names, as a Unix path: relative to the project's folder, "Z:\" for the
/// root and "C:\" inside the prefix; "" for other drives, which cannot be checked.
QString projectFilePath(const QString& projectFolder, QString named, const QString& prefix)
{
    named.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (named.size() >= 2 && named[1] == QLatin1Char(':')) {
        const QChar drive = named[0].toUpper();
        if (drive == QLatin1Char('Z'))
            return named.mid(2);
        if (drive == QLatin1Char('C'))
            return prefix + QStringLiteral("/drive_c") + named.mid(2);
        return {};
    }
    return QDir::cleanPath(projectFolder + QLatin1Char('/') + named);
}

/// Wine, like Windows, finds a file whatever the case of its name; so does this check.
bool existsAnyCase(platform::FileSystem& fs, const QString& path)
{
    if (fs.fileExists(platform::nativePath(path)))
        return true;
    const QFileInfo info(path);
    const auto entries = fs.list(platform::nativePath(info.path()));
    if (!entries)
        return false;
    const QString name = info.fileName().toLower();
    for (const platform::DirEntry& entry : *entries) {
        if (entry.kind == platform::EntryKind::File && platform::displayPath(entry.name).toLower() == name)
            return true;
    }
    return false;
}

bool hasBareLineFeed(const QByteArray& bytes)
{
    for (qsizetype i = bytes.indexOf('\n'); i >= 0; i = bytes.indexOf('\n', i + 1)) {
        if (i == 0 || bytes[i - 1] != '\r')
            return true;
    }
    return false;
}

QString unquoted(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
    return value;
}

const QRegularExpression& guidPattern()
{
    static const QRegularExpression pattern(QStringLiteral("\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-"
                                                           "[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}"));
    return pattern;
}

} // namespace

QSet<QString> registeredTypeLibraries(platform::FileSystem& fs, const QString& prefix)
{
    // Keys in Wine's registry files read "[Software\\Classes\\TypeLib\\{GUID}\\1.0] …".
    static const QRegularExpression key(QStringLiteral(R"(\\\\TypeLib\\\\(\{[0-9A-Fa-f-]{36}\}))"),
                                        QRegularExpression::CaseInsensitiveOption);
    QSet<QString> found;
    for (const QString& file : {QStringLiteral("/system.reg"), QStringLiteral("/user.reg")}) {
        const auto bytes = fs.readFile(platform::nativePath(prefix + file));
        if (!bytes)
            continue;
        const QString text = QString::fromUtf8(*bytes);
        for (auto it = key.globalMatch(text); it.hasNext();)
            found.insert(it.next().captured(1).toUpper());
    }
    return found;
}

QStringList checkProject(platform::FileSystem& fs, const QString& project, const QSet<QString>* typeLibraries,
                         const QString& prefix)
{
    const auto bytes = fs.readFile(platform::nativePath(project), 4 << 20);
    if (!bytes)
        return {bytes.status().kind() == platform::ErrorKind::NotFound
                    ? QStringLiteral("  警告: 工程文件不存在")
                    : QStringLiteral("  警告: 无法读取工程文件: ") + bytes.status().message()};
    static const QStringList sourceKeys = {QStringLiteral("Form"),         QStringLiteral("Module"),
                                           QStringLiteral("Class"),        QStringLiteral("UserControl"),
                                           QStringLiteral("PropertyPage"), QStringLiteral("UserDocument"),
                                           QStringLiteral("Designer")};
    const QString folder = QFileInfo(project).path();
    QStringList missing, lfOnly, unregistered;
    if (hasBareLineFeed(*bytes))
        lfOnly << QFileInfo(project).fileName();
    for (const QString& line : textLines(decodeWindowsText(*bytes))) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        QString value = line.mid(eq + 1);
        if (sourceKeys.contains(key, Qt::CaseInsensitive) ||
            key.compare(QLatin1String("ResFile32"), Qt::CaseInsensitive) == 0) {
            // "Module=Name; File.bas" names the module before its file.
            if (const qsizetype semi = value.indexOf(QLatin1Char(';')); semi >= 0)
                value = value.mid(semi + 1);
            const QString named = unquoted(value);
            const QString path = projectFilePath(folder, named, prefix);
            if (named.isEmpty() || path.isEmpty())
                continue;
            if (!existsAnyCase(fs, path)) {
                missing << named;
                continue;
            }
            if (key.compare(QLatin1String("ResFile32"), Qt::CaseInsensitive) != 0) {
                const auto source = fs.readFile(platform::nativePath(path), 16 << 20);
                if (source && hasBareLineFeed(*source))
                    lfOnly << named;
            }
        } else if (typeLibraries && (key.compare(QLatin1String("Reference"), Qt::CaseInsensitive) == 0 ||
                                     key.compare(QLatin1String("Object"), Qt::CaseInsensitive) == 0)) {
            // Reference=*\G{GUID}#2.0#0#path#Description; Object={GUID}#2.0#0; FILE.OCX
            const QRegularExpressionMatch guid = guidPattern().match(value);
            if (!guid.hasMatch() || typeLibraries->contains(guid.captured(0).toUpper()))
                continue;
            const QString name = key.compare(QLatin1String("Object"), Qt::CaseInsensitive) == 0
                                     ? value.section(QLatin1Char(';'), 1).trimmed()
                                     : value.section(QLatin1Char('#'), 4).trimmed();
            unregistered << (name.isEmpty() ? guid.captured(0) : name + QLatin1Char(' ') + guid.captured(0));
        }
    }
    QStringList warnings;
    for (const QString& name : missing)
        warnings << QStringLiteral("  警告: 工程中的文件不存在: ") + name;
    for (const QString& name : unregistered)
        warnings << QStringLiteral("  警告: 类型库未在Wine中注册: ") + name;
    for (const QString& name : lfOnly)
        warnings << QStringLiteral("  警告: 文件只用LF换行, 编译器可能无声失败: ") + name;
    return warnings;
}

namespace {

/// Runs the compiler on one project and waits for it; a stop leaves `result` as Stopped.
void compileOne(platform::FileSystem& fs, platform::ProgramStarter& programs, const QString& compiler,
                const QString& project, const QString& log, const CompileOptions& options, ProjectCompile& result)
{
    const CompileCommand command = compileCommand(compiler, project, log);
    // What a compiler prints is not shown (its errors come through /out): read and dropped, so
    // one that floods its output costs no memory.
    const platform::RunOutcome outcome = programs.run(command.program, command.arguments, options.timeoutMs, {}, 0);
    if (outcome.stopped)
        return;
    if (!outcome.started) {
        result.result = ProjectCompile::Result::NotStarted;
        result.reason = QStringLiteral("编译器启动失败!") + outcome.status.message();
    } else if (outcome.timedOut) {
        result.result = ProjectCompile::Result::TimedOut;
        result.reason = QStringLiteral("  编译超过%1秒没有结束, 已停止").arg(options.timeoutMs / 1000);
    } else if (!outcome.finished) {
        result.result = ProjectCompile::Result::Failed;
        result.reason = outcome.status.message();
    } else {
        result.exitCode = outcome.exitCode;
        result.result = outcome.exitCode == 0 ? ProjectCompile::Result::Done : ProjectCompile::Result::Failed;
    }
    if (result.result == ProjectCompile::Result::Failed && !log.isEmpty()) {
        if (const auto text = fs.readFile(platform::nativePath(log), 1 << 20))
            result.errorLines = textLines(decodeWindowsText(*text));
    }
}

} // namespace

std::vector<ProjectCompile> compileProjects(platform::FileSystem& fs, platform::ProgramStarter& programs,
                                            const QString& compiler, const std::vector<BatchEntry>& projects,
                                            platform::RunControl* control, const CompileOptions& options)
{
    std::vector<ProjectCompile> results(projects.size());
    const bool wine = runsUnderWine(compiler);
    const QString prefix = options.winePrefix.isEmpty() ? platform::winePrefix() : options.winePrefix;
    QSet<QString> typeLibraries;
    if (wine)
        typeLibraries = registeredTypeLibraries(fs, prefix);
    const QTemporaryDir logDir(QDir::tempPath() + QStringLiteral("/korvane-compile-XXXXXX"));

    // The checks read files through `fs` one after the other; only the compilers run side by side.
    std::vector<QString> logs(projects.size());
    std::vector<size_t> toStart;
    toStart.reserve(projects.size());
    for (size_t i = 0; i < projects.size(); ++i) {
        const BatchEntry& entry = projects[i];
        if (const platform::Status failure = startProblem(compiler, entry); !failure.ok()) {
            results[i].result = ProjectCompile::Result::NotStarted;
            results[i].reason = failure.message();
            continue;
        }
        results[i].warnings = checkProject(fs, absolute(entry.text), wine ? &typeLibraries : nullptr, prefix);
        if (logDir.isValid())
            logs[i] = logDir.filePath(QString::number(i) + QStringLiteral(".log"));
        toStart.push_back(i);
    }

    // A few long tasks that take the next project each, not one task per project: with
    // thousands of projects the hand-overs would cost more than the starts.
    std::atomic<size_t> next{0};
    const auto compileNext = [&] {
        const platform::RunControl::Scope scope(control);
        for (size_t k; (k = next.fetch_add(1)) < toStart.size();) {
            if (control && control->stopRequested())
                return;
            const size_t i = toStart[k];
            compileOne(fs, programs, compiler, projects[i].text, logs[i], options, results[i]);
            if (control)
                control->advance();
        }
    };
    QThreadPool pool;
    const int tasks = std::max(1, std::min(options.parallel, int(toStart.size())));
    pool.setMaxThreadCount(tasks);
    for (int t = 0; t < tasks; ++t)
        pool.start(compileNext);
    pool.waitForDone();
    return results;
}

bool CompileRun::prepareRun(BatchRunContext& run, const std::vector<BatchEntry>& entries)
{
    if (const platform::Status problem = compilerProblem(m_fs, m_programs, compiler); !problem.ok()) {
        run.say(problem.message(), platform::MessageIcon::Information);
        return false;
    }
    m_compiles = compileProjects(m_fs, m_programs, compiler, entries, &run.control, options);
    m_next = 0;
    return true;
}

QStringList CompileRun::comp(BatchRunContext&, const BatchEntry&)
{
    return m_next < m_compiles.size() ? compileLines(m_compiles[m_next++]) : QStringList();
}

QStringList compileLines(const ProjectCompile& compile)
{
    QStringList lines = compile.warnings;
    switch (compile.result) {
    case ProjectCompile::Result::Done: lines << QStringLiteral("  已完成"); break;
    case ProjectCompile::Result::Failed:
        lines << (compile.reason.isEmpty() ? QStringLiteral("  编译失败(退出码 %1)").arg(compile.exitCode)
                                           : QStringLiteral("  编译失败(%1)").arg(compile.reason));
        for (const QString& line : compile.errorLines)
            lines << QStringLiteral("    ") + line;
        break;
    case ProjectCompile::Result::TimedOut:
    case ProjectCompile::Result::NotStarted: lines << compile.reason; break;
    case ProjectCompile::Result::Stopped: lines << QStringLiteral("  已取消"); break;
    }
    return lines;
}

} // namespace korvane::batchlist
