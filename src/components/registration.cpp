#include "components/registration.h"

#include "platform/nativepath.h"
#include "platform/programstarter.h"
#include "platform/runcontrol.h"

#include <QHash>
#include <QSet>
#include <QThreadPool>
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace korvane::components {

using platform::NativePath;

bool isComponentLibrary(const QByteArray& fileName)
{
    // Decode first: a trailing byte of a GBK character may be an ASCII letter.
    const QString tail = platform::displayPath(fileName).right(3).toLower();
    return tail == QLatin1String("dll") || tail == QLatin1String("ocx");
}

QStringList registrationArguments(const WineEnvironment& wine, bool is64, const QString& libraryPath)
{
    const QString regsvr32 =
        wine.prefix64 && !is64 ? QStringLiteral("C:\\windows\\syswow64\\regsvr32.exe") : QStringLiteral("regsvr32");
    return {regsvr32, QStringLiteral("/s"), platform::wineWindowsPath(libraryPath)};
}

NativePath folderPath(const NativePath& typed)
{
    if (typed.isEmpty())
        return typed;
    NativePath path = typed;
    if (!path.startsWith('/')) {
        std::error_code ec;
        const std::string cwd = std::filesystem::current_path(ec).native();
        if (!ec)
            path = platform::joinPath(NativePath(cwd.data(), qsizetype(cwd.size())), path);
    }
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

platform::Result<FolderScan> scanFolder(platform::FileSystem& fs, const NativePath& folder)
{
    if (folder.isEmpty())
        return platform::Status::failure(platform::ErrorKind::NotFound);
    const auto entries = fs.list(folder);
    if (!entries)
        return entries.status();
    FolderScan scan;
    for (const platform::DirEntry& entry : *entries) {
        if (entry.kind != platform::EntryKind::File)
            continue;
        ++scan.fileCount;
        if (isComponentLibrary(entry.name))
            scan.libraries << platform::joinPath(folder, entry.name);
    }
    return scan;
}

namespace {

/// One library that passed every check, waiting for regsvr32.
struct Pending {
    QString shown;
    QString unixPath;
    bool is64 = false;
    RegistrationFailure failure; ///< filled when it did not register
    bool registered = false;
    bool reached = false; ///< false: a stop came first
};

/// Whether a library can be registered, looked at before anything is started; its bitness when it can.
platform::Result<bool> registrableBitness(platform::FileSystem& fs, const WineEnvironment& wine,
                                          const NativePath& library, QHash<bool, QSet<QString>>& systemNames,
                                          const QSet<QString>& folderNames)
{
    const auto refused = [](const QString& reason) {
        return platform::Status::failure(platform::ErrorKind::Failed, reason);
    };
    // Arguments travel as UTF-8; any other bytes would name a different file.
    if (!platform::isValidUtf8(library))
        return refused(QStringLiteral("文件名不是UTF-8编码, 无法交给注册程序"));
    // Under /s a name Wine reads differently would register another file without a word.
    if (const platform::Status addressable = platform::wineAddressable(QString::fromUtf8(library)); !addressable)
        return addressable;
    const auto bytes = fs.readFile(library, kMaxPeImageBytes);
    if (!bytes)
        return refused(QStringLiteral("无法读取: ") + bytes.status().message());
    const auto image = readPeImage(*bytes);
    if (!image)
        return image.status();
    const bool is64 = image->is64();
    if (!systemNames.contains(is64))
        systemNames.insert(is64, lowerCaseNames(fs, platform::nativePath(wine.systemFolder(is64))));
    if (const platform::Status check = checkLibrary(*image, wine, folderNames, systemNames.value(is64)); !check)
        return check;
    return is64;
}

/// Creates the prefix with wineboot.
platform::Status preparePrefix(platform::FileSystem& fs, platform::ProgramStarter& programs,
                               const WineEnvironment& wine, platform::RunControl* control, int timeoutMs, bool& stopped)
{
    if (prefixReady(fs, wine))
        return {};
    if (control)
        control->begin(QStringLiteral("正在准备Wine环境…"));
    const platform::RunControl::Scope scope(control);
    // Without a display wineboot shows no "updating the Wine configuration" window over our
    // progress dialog (it takes half a minute or more), and without Mono and Gecko it asks
    // nothing: components are registered without them.
    const platform::RunOutcome outcome =
        programs.run(QStringLiteral("/usr/bin/env"),
                     {QStringLiteral("-u"), QStringLiteral("DISPLAY"), QStringLiteral("-u"),
                      QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("WINEDLLOVERRIDES=mscoree,mshtml="), wine.wine,
                      QStringLiteral("wineboot"), QStringLiteral("-i")},
                     timeoutMs);
    stopped = outcome.stopped;
    if (!outcome.status.ok())
        return outcome.status;
    // Its registry files appear only once wineserver writes them out, a little later.
    if (outcome.exitCode != 0)
        return platform::Status::failure(platform::ErrorKind::Failed,
                                         QStringLiteral("wineboot退出码 %1").arg(outcome.exitCode));
    return {};
}

void registerOne(platform::ProgramStarter& programs, const WineEnvironment& wine, Pending& library,
                 platform::RunControl* control, int timeoutMs)
{
    if (control && control->stopRequested())
        return;
    library.reached = true;
    if (control)
        control->begin(library.shown);
    const platform::RunControl::Scope scope(control);
    const platform::RunOutcome outcome =
        programs.run(wine.wine, registrationArguments(wine, library.is64, library.unixPath), timeoutMs);
    if (control)
        control->advance();
    if (outcome.stopped) {
        library.reached = false;
        return;
    }
    library.failure = {library.shown, {}, true};
    if (!outcome.started)
        library.failure = {library.shown, QStringLiteral("wine无法启动: ") + outcome.status.message(), false};
    else if (!outcome.status.ok())
        library.failure.reason = outcome.finished
                                     ? outcome.status.message()
                                     : QStringLiteral("注册程序在%1秒内没有结束, 已停止").arg(timeoutMs / 1000);
    else if (outcome.exitCode != 0)
        library.failure.reason = regsvr32ExitReason(outcome.exitCode);
    else
        library.registered = true;
}

} // namespace

namespace {

/// Reads the folder into `run`: the scan when there is something to register, nullopt (with
/// the outcome set) when the run ends here.
std::optional<FolderScan> scanForRun(platform::FileSystem& fs, const NativePath& path, RegistrationRun& run)
{
    using Outcome = RegistrationRun::Outcome;
    auto scanned = scanFolder(fs, path);
    if (!scanned) {
        const platform::ErrorKind kind = scanned.status().kind();
        const bool missing = kind == platform::ErrorKind::NotFound || kind == platform::ErrorKind::NotAFolder;
        run.outcome = missing ? Outcome::NotAFolder : Outcome::Unreadable;
        run.error = scanned.status();
        return std::nullopt;
    }
    run.fileCount = scanned->fileCount;
    run.outcome = scanned->fileCount < 1 ? Outcome::NoFiles : Outcome::Registered;
    if (scanned->fileCount < 1 || scanned->libraries.isEmpty())
        return std::nullopt;
    return std::move(*scanned);
}

/// Looks at every library before anything starts: one that cannot work goes into
/// `run.failures` and is never started. The others, in order; nullopt after a stop.
std::optional<std::vector<Pending>> checkLibraries(platform::FileSystem& fs, const WineEnvironment& wine,
                                                   const NativePath& folder, const QList<NativePath>& libraries,
                                                   platform::RunControl* control, RegistrationRun& run)
{
    const QSet<QString> folderNames = lowerCaseNames(fs, folder);
    QHash<bool, QSet<QString>> systemNames;
    std::vector<Pending> pending;
    for (const NativePath& library : libraries) {
        if (control && control->stopRequested())
            return std::nullopt;
        const QString shown = platform::displayPath(library);
        const auto is64 = registrableBitness(fs, wine, library, systemNames, folderNames);
        if (!is64) {
            run.failures.append({shown, is64.status().message(), false});
            if (control)
                control->advance();
            continue;
        }
        pending.push_back({shown, QString::fromUtf8(library), *is64, {}, false, false});
    }
    return pending;
}

/// Runs regsvr32 on each library, a few at a time, and waits for all of them.
void registerAll(platform::ProgramStarter& programs, const WineEnvironment& wine, std::vector<Pending>& pending,
                 platform::RunControl* control, const RegistrationOptions& options)
{
    QThreadPool pool;
    pool.setMaxThreadCount(std::max(1, options.parallel));
    for (Pending& library : pending)
        pool.start([&programs, &wine, &library, control, &options] {
            registerOne(programs, wine, library, control, options.timeoutMs);
        });
    pool.waitForDone();
}

/// Sorts what became of each library into `run`.
void collectOutcomes(const std::vector<Pending>& pending, RegistrationRun& run)
{
    for (const Pending& library : pending) {
        if (!library.reached)
            run.stopped = true;
        else if (library.registered)
            run.registered << library.shown;
        else
            run.failures.append(library.failure);
    }
}

} // namespace

RegistrationRun registerFolder(platform::FileSystem& fs, platform::ProgramStarter& programs, const NativePath& folder,
                               platform::RunControl* control, const WineEnvironment* givenWine,
                               const RegistrationOptions& options)
{
    RegistrationRun run;
    const NativePath path = folderPath(folder);
    run.folder = platform::displayPath(folder);
    const std::optional<FolderScan> scan = scanForRun(fs, path, run);
    if (!scan)
        return run;
    const WineEnvironment wine = givenWine ? *givenWine : detectWine(fs, programs);
    if (wine.wine.isEmpty()) {
        run.outcome = RegistrationRun::Outcome::NoRegistrar;
        return run;
    }
    run.libraries = int(scan->libraries.size());
    if (control)
        control->setTotal(run.libraries);

    std::optional<std::vector<Pending>> pending = checkLibraries(fs, wine, path, scan->libraries, control, run);
    if (!pending) {
        run.stopped = true;
        return run;
    }
    if (pending->empty())
        return run;
    if (const platform::Status problem =
            preparePrefix(fs, programs, wine, control, options.prepareTimeoutMs, run.stopped);
        !problem || run.stopped) {
        run.outcome = run.stopped ? RegistrationRun::Outcome::Registered : RegistrationRun::Outcome::PrefixFailed;
        run.error = problem;
        return run;
    }
    registerAll(programs, wine, *pending, control, options);
    collectOutcomes(*pending, run);
    return run;
}

RegistrationMessage registrationMessage(const RegistrationRun& run, const QString& done, const QString& noFiles)
{
    using Outcome = RegistrationRun::Outcome;
    if (run.stopped) {
        const qsizetype handled = run.registered.size() + run.failures.size();
        return {platform::cancelledText(handled, run.libraries - handled), {}};
    }
    switch (run.outcome) {
    case Outcome::NotAFolder: return {QStringLiteral("目录\"%1\"不存在!").arg(run.folder), {}};
    case Outcome::Unreadable:
        return {QStringLiteral("无法读取目录\"%1\": %2").arg(run.folder, run.error.message()), {}};
    case Outcome::NoFiles: return {noFiles, {}};
    case Outcome::NoRegistrar:
        return {QStringLiteral("找不到wine, 无法注册dll或ocx文件!请安装wine(32位组件还需要wine32)。"), {}};
    case Outcome::PrefixFailed:
        return {QStringLiteral("无法准备Wine环境%1: %2").arg(platform::winePrefix(), run.error.message()), {}};
    case Outcome::Registered: break;
    }
    if (run.failures.isEmpty())
        return {done, {}};
    // Not "注册完毕": that sentence would report a failure as success.
    constexpr int kListed = 12;
    QStringList lines;
    for (const RegistrationFailure& failure : run.failures)
        lines << failure.file + QStringLiteral(": ") + failure.reason;
    QStringList shown = lines.mid(0, kListed);
    if (lines.size() > kListed)
        shown << QStringLiteral("……另有%1个文件").arg(lines.size() - kListed);
    const QString text = QStringLiteral("已注册%1个文件, 以下%2个文件未能注册:\n\n")
                             .arg(run.registered.size())
                             .arg(run.failures.size()) +
                         shown.join(QLatin1Char('\n'));
    return {text, lines.join(QLatin1Char('\n'))};
}

} // namespace korvane::components
