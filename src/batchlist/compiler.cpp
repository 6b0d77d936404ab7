#include "batchlist/compiler.h"

#include "platform/filesystem.h"
#include "platform/nativepath.h"
#include "platform/programstarter.h"

#include "platform/runcontrol.h"
#include "platform/settingsstore.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <algorithm>
#include <sys/stat.h>

namespace korvane::batchlist {

QString defaultCompilerPath()
{
    return QDir::homePath() + QStringLiteral("/.wine/drive_c/Program Files/Microsoft Visual Studio/VB98/VB6.EXE");
}

namespace {

QString absolute(const QString& path)
{
    // Asked for every project: a leading "/" says it without QDir's parse of the path.
    return path.startsWith(QLatin1Char('/')) ? path : QFileInfo(path).absoluteFilePath();
}

} // namespace

CompileCommand compileCommand(const QString& compiler, const QString& project, const QString& log)
{
    const QString program = absolute(compiler);
    const bool wine = runsUnderWine(compiler);
    const auto named = [wine](const QString& path) { return wine ? platform::wineWindowsPath(path) : path; };
    CompileCommand command{wine ? QStringLiteral("wine") : program, {}};
    command.arguments.reserve(5);
    if (wine)
        command.arguments << program;
    command.arguments << QStringLiteral("/MAKE") << named(absolute(project));
    if (!log.isEmpty())
        command.arguments << QStringLiteral("/out") << named(log);
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

/// Type libraries registered in a Wine prefix, as upper-case "{GUID}".
QSet<QString> registeredTypeLibraries(platform::FileSystem& fs, const QString& prefix)
{
    // Keys in Wine's registry files read "[Software\\Classes\\TypeLib\\{GUID}\\1.0] …".
    static const QRegularExpression key(QStringLiteral(R"(\\\\TypeLib\\\\(\{[0-9A-Fa-f-]{36}\}))"),
                                        QRegularExpression::CaseInsensitiveOption);
    QSet<QString> found;
    for (const QString& file : {QStringLiteral("/system.reg"), QStringLiteral("/user.reg")}) {
        // Looked at before it is opened: a named pipe there would hold the run in open().
        const platform::NativePath path = platform::nativePath(prefix + file);
        const auto info = fs.info(path, platform::Links::Follow);
        if (!info || info->kind != platform::EntryKind::File)
            continue;
        const auto bytes = fs.readFile(path);
        if (!bytes)
            continue;
        const QString text = QString::fromUtf8(*bytes);
        for (auto it = key.globalMatch(text); it.hasNext();)
            found.insert(it.next().captured(1).toUpper());
    }
    return found;
}

/// Warnings about a project (a regular file) before it is compiled: files it names that do not
/// exist, the type libraries it uses that the prefix has not registered (when `typeLibraries`
/// is given) and sources whose lines end in LF alone. Each one line, indented for the box.
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

/// What a file that is no regular file is, in the user's words.
QString kindName(quint32 mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("文件夹");
    if (S_ISFIFO(mode))
        return QStringLiteral("命名管道");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("设备");
    if (S_ISSOCK(mode))
        return QStringLiteral("套接字");
    return QStringLiteral("特殊文件");
}

/// The checks before a project is compiled. A list names many projects of a few folders, so
/// what depends on the folder alone is found out once per folder: whether it is there (the
/// projects of a missing one need no call each) and whether Wine can name it.
class ProjectChecker {
public:
    ProjectChecker(platform::FileSystem& fs, const QString& compiler, const CompileOptions& options)
        : m_fs(fs), m_wine(runsUnderWine(compiler)),
          m_prefix(options.winePrefix.isEmpty() ? platform::winePrefix() : options.winePrefix)
    {
        if (m_wine)
            m_typeLibraries = registeredTypeLibraries(fs, m_prefix);
    }

    /// Whether the project may start; if not, `result` says why. Its warnings go into `result`.
    bool admit(const BatchEntry& entry, ProjectCompile& result)
    {
        const QString project = absolute(entry.text);
        const qsizetype slash = project.lastIndexOf(QLatin1Char('/'));
        const QString folder = project.left(std::max<qsizetype>(slash, 1));
        const QString why = refusal(entry, project, folder, project.mid(slash + 1));
        if (!why.isEmpty()) {
            result.result = ProjectCompile::Result::NotStarted;
            result.reason = why;
            return false;
        }
        if (folderMissing(folder)) {
            result.warnings = {QStringLiteral("  警告: 工程文件不存在")};
            return true;
        }
        // Judged before it is opened: on a named pipe open() would wait for a writer, and a
        // device may never end.
        const auto info = m_fs.info(platform::nativePath(project), platform::Links::Follow);
        if (info && info->kind != platform::EntryKind::File) {
            result.result = ProjectCompile::Result::NotStarted;
            result.reason = QStringLiteral("  未编译: 工程不是普通文件(%1)").arg(kindName(info->mode));
            return false;
        }
        result.warnings = checkProject(m_fs, project, m_wine ? &m_typeLibraries : nullptr, m_prefix);
        return true;
    }

private:
    /// Why the project cannot be handed to the compiler unaltered; "" when it can.
    QString refusal(const BatchEntry& entry, const QString& project, const QString& folder, const QString& name)
    {
        // Arguments travel as UTF-8: a raw name in another encoding would reach the compiler altered.
        if (!platform::isValidUtf8(entry.path))
            return QStringLiteral("编译器启动失败!工程路径含有无法传递的字符。");
        if (!m_wine)
            return {};
        auto known = m_wineFolders.constFind(folder);
        if (known == m_wineFolders.cend())
            known = m_wineFolders.insert(folder, platform::wineAddressable(folder).ok());
        // A folder Wine reads otherwise: the whole path names the part, as for a single project.
        const platform::Status named = platform::wineAddressable(*known ? name : project);
        return named.ok() ? QString() : QStringLiteral("编译器启动失败!") + named.message();
    }

    bool folderMissing(const QString& folder)
    {
        auto known = m_missingFolders.constFind(folder);
        if (known == m_missingFolders.cend()) {
            const auto info = m_fs.info(platform::nativePath(folder), platform::Links::Follow);
            known = m_missingFolders.insert(folder, !info && info.status().kind() == platform::ErrorKind::NotFound);
        }
        return *known;
    }

    platform::FileSystem& m_fs;
    const bool m_wine;
    const QString m_prefix;
    QSet<QString> m_typeLibraries;
    QHash<QString, bool> m_wineFolders;    ///< whether Wine names each folder as it is
    QHash<QString, bool> m_missingFolders; ///< folders found not to exist
};

} // namespace

ProjectCompiles::ProjectCompiles(platform::FileSystem& fs, platform::ProgramStarter& programs, const QString& compiler,
                                 const std::vector<BatchEntry>& projects, platform::RunControl* control,
                                 const CompileOptions& options, bool countsProgress)
    : m_fs(fs), m_programs(programs), m_compiler(compiler), m_options(options), m_control(control),
      m_countsProgress(countsProgress), m_logDir(QDir::tempPath() + QStringLiteral("/korvane-compile-XXXXXX")),
      m_results(projects.size()), m_settled(projects.size(), true)
{
    m_projects.reserve(projects.size());
    for (const BatchEntry& entry : projects)
        m_projects.push_back(entry.text);
    ProjectChecker checker(fs, compiler, options);
    for (size_t i = 0; i < projects.size(); ++i) {
        // Unchecked projects stay Stopped.
        if (control && control->stopRequested())
            break;
        if (!checker.admit(projects[i], m_results[i]))
            continue;
        m_settled[i] = false;
        m_toStart.push_back(i);
    }
    if (m_toStart.empty())
        return;
    m_working = std::max(1, std::min(options.parallel, int(m_toStart.size())));
    m_pool.setMaxThreadCount(m_working);
    for (int t = 0; t < m_working; ++t)
        m_pool.start([this] { work(); });
}

ProjectCompiles::~ProjectCompiles()
{
    m_pool.waitForDone();
}

void ProjectCompiles::work()
{
    const platform::RunControl::Scope scope(m_control);
    for (size_t k; (k = m_next.fetch_add(1)) < m_toStart.size();) {
        if (m_control && m_control->stopRequested())
            break;
        const size_t i = m_toStart[k];
        const QString log = m_logDir.isValid()
                                ? m_logDir.path() + QLatin1Char('/') + QString::number(i) + QStringLiteral(".log")
                                : QString();
        compileOne(m_fs, m_programs, m_compiler, m_projects[i], log, m_options, m_results[i]);
        if (m_control && m_countsProgress)
            m_control->advance();
        const QMutexLocker lock(&m_mutex);
        m_settled[i] = true;
        if (i == m_waitingFor)
            m_changed.wakeAll();
    }
    const QMutexLocker lock(&m_mutex);
    if (--m_working == 0)
        m_changed.wakeAll();
}

const ProjectCompile& ProjectCompiles::result(size_t i)
{
    QMutexLocker lock(&m_mutex);
    // After a stop the workers end without the projects they did not take: those stay Stopped.
    while (!m_settled[i] && m_working > 0) {
        m_waitingFor = i;
        m_changed.wait(&m_mutex);
    }
    m_waitingFor = kNone;
    return m_results[i];
}

std::vector<ProjectCompile> ProjectCompiles::takeAll()
{
    m_pool.waitForDone();
    return std::move(m_results);
}

std::vector<ProjectCompile> compileProjects(platform::FileSystem& fs, platform::ProgramStarter& programs,
                                            const QString& compiler, const std::vector<BatchEntry>& projects,
                                            platform::RunControl* control, const CompileOptions& options)
{
    return ProjectCompiles(fs, programs, compiler, projects, control, options, true).takeAll();
}

CompileRun::CompileRun(platform::FileSystem& fs, platform::ProgramStarter& programs) : m_fs(fs), m_programs(programs) {}

CompileRun::~CompileRun() = default;

bool CompileRun::prepareRun(BatchRunContext& run, const std::vector<BatchEntry>& entries)
{
    if (const platform::Status problem = compilerProblem(m_fs, m_programs, compiler); !problem.ok()) {
        run.say(problem.message(), platform::MessageIcon::Information);
        return false;
    }
    // The run's own loop counts the entries as it writes their lines.
    m_compiles = std::make_unique<ProjectCompiles>(m_fs, m_programs, compiler, entries, &run.control, options, false);
    m_next = 0;
    return true;
}

QStringList CompileRun::comp(BatchRunContext&, const BatchEntry&)
{
    return m_compiles && m_next < m_compiles->size() ? compileLines(m_compiles->result(m_next++)) : QStringList();
}

void CompileRun::completeRun(BatchRunContext&, const std::vector<BatchEntry>&)
{
    // After a stop the compilers still running are being killed: wait for them here, on the
    // run's worker.
    m_compiles.reset();
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
