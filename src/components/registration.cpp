#include "components/registration.h"

#include "platform/nativepath.h"
#include "platform/programstarter.h"

#include <QScopeGuard>
#include <filesystem>
#include <system_error>

namespace korvane::components {

using platform::NativePath;

bool isComponentLibrary(const QByteArray& fileName)
{
    // Decode first: a trailing byte of a GBK character may be an ASCII letter.
    const QString tail = platform::displayPath(fileName).right(3).toLower();
    return tail == QLatin1String("dll") || tail == QLatin1String("ocx");
}

std::optional<Registrar> findRegistrar(platform::ProgramStarter& programs)
{
    const QString regsvr32 = programs.findExecutable(QStringLiteral("regsvr32"));
    if (!regsvr32.isEmpty())
        return Registrar{regsvr32, {}};
    const QString wine = programs.findExecutable(QStringLiteral("wine"));
    if (!wine.isEmpty())
        return Registrar{wine, {QStringLiteral("regsvr32")}};
    return std::nullopt;
}

QStringList registrationArguments(const Registrar& registrar, const QString& libraryPath)
{
    QStringList arguments = registrar.leadingArguments;
    arguments << QStringLiteral("/s") << platform::wineWindowsPath(libraryPath);
    return arguments;
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

FolderScan scanFolder(platform::FileSystem& fs, const NativePath& folder)
{
    FolderScan scan;
    if (folder.isEmpty()) {
        scan.error = platform::Status::failure(platform::ErrorKind::NotFound);
        return scan;
    }
    const auto entries = fs.list(folder);
    if (!entries) {
        scan.error = entries.status();
        return scan;
    }
    scan.readable = true;
    for (const platform::DirEntry& entry : *entries) {
        if (entry.kind != platform::EntryKind::File)
            continue;
        ++scan.fileCount;
        if (isComponentLibrary(entry.name))
            scan.libraries << platform::joinPath(folder, entry.name);
    }
    return scan;
}

RegistrationRun registerFolder(platform::FileSystem& fs, platform::ProgramStarter& programs, const NativePath& folder,
                               platform::RunControl* control)
{
    using Outcome = RegistrationRun::Outcome;
    RegistrationRun run;
    const NativePath path = folderPath(folder);
    run.folder = platform::displayPath(folder);

    const FolderScan scan = scanFolder(fs, path);
    if (!scan.readable) {
        const bool missing =
            scan.error.kind() == platform::ErrorKind::NotFound || scan.error.kind() == platform::ErrorKind::NotAFolder;
        run.outcome = missing ? Outcome::NotAFolder : Outcome::Unreadable;
        run.error = scan.error.message();
        return run;
    }
    run.fileCount = scan.fileCount;
    if (scan.fileCount < 1) {
        run.outcome = Outcome::NoFiles;
        return run;
    }
    if (scan.libraries.isEmpty()) {
        run.outcome = Outcome::Registered;
        return run;
    }
    const auto registrar = findRegistrar(programs);
    if (!registrar) {
        run.outcome = Outcome::NoRegistrar;
        return run;
    }
    run.outcome = Outcome::Registered;
    run.libraries = int(scan.libraries.size());
    if (control)
        control->setTotal(run.libraries);
    for (const NativePath& library : scan.libraries) {
        if (control && control->stopRequested()) {
            run.stopped = true;
            break;
        }
        const QString shown = platform::displayPath(library);
        if (control)
            control->begin(shown);
        const auto handled = qScopeGuard([control] {
            if (control)
                control->advance();
        });
        // Arguments travel as UTF-8; any other bytes would name a different file.
        if (!platform::isValidUtf8(library)) {
            run.failures.append({shown, QStringLiteral("文件名不是UTF-8编码, 无法交给注册程序")});
            continue;
        }
        // Under /s a name Wine reads differently would register another file without a word.
        const QString unixPath = QString::fromUtf8(library);
        if (const QString reason = platform::wineUnaddressableReason(unixPath); !reason.isEmpty()) {
            run.failures.append({shown, reason});
            continue;
        }
        const platform::Status start =
            programs.startDetached(registrar->program, registrationArguments(*registrar, unixPath));
        if (start.ok())
            run.started << shown;
        else
            run.failures.append({shown, start.message()});
    }
    return run;
}

} // namespace korvane::components
