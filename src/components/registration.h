#pragma once

#include "platform/filesystem.h"
#include "platform/runcontrol.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace korvane::platform {
class ProgramStarter;
}

namespace korvane::components {

/// True when the last three characters of the name, lower-cased, are "dll" or "ocx"; no dot is
/// needed, so "readme.xdll" counts. The name is judged by its characters, not its bytes.
bool isComponentLibrary(const QByteArray& fileName);

/// The program that registers a library, with the arguments that come before "/s".
struct Registrar {
    QString program;
    QStringList leadingArguments; ///< {"regsvr32"} when it is reached through wine
};

/// `regsvr32` when one is on the PATH, else `wine regsvr32`; nothing when neither is there.
std::optional<Registrar> findRegistrar(platform::ProgramStarter& programs);

/// The argument vector for one library given by its full Unix path: "/s" and Wine's Windows
/// form of the path, after the registrar's leading arguments.
QStringList registrationArguments(const Registrar& registrar, const QString& libraryPath);

/// A folder path as the file system names it: relative paths made absolute, trailing "/"
/// dropped except for the root.
platform::NativePath folderPath(const platform::NativePath& typed);

/// What lies directly in a folder, as registering needs it.
struct FolderScan {
    bool readable = false; ///< false: not a folder, or it could not be listed (see error)
    platform::Status error;
    int fileCount = 0;                     ///< every file, whatever its name; subfolders don't count
    QList<platform::NativePath> libraries; ///< full paths of the component libraries, in listing order
};

FolderScan scanFolder(platform::FileSystem& fs, const platform::NativePath& folder);

struct RegistrationFailure {
    QString file; ///< for display
    QString reason;
};

struct RegistrationRun {
    enum class Outcome {
        Registered,  ///< every library handed to the registrar (see failures)
        NotAFolder,  ///< empty path, missing path or not a folder
        Unreadable,  ///< the folder could not be listed
        NoFiles,     ///< the folder holds no file at all
        NoRegistrar, ///< libraries present, but neither regsvr32 nor wine was found
    };
    Outcome outcome = Outcome::NotAFolder;
    QString folder; ///< the folder as shown to the user
    QString error;  ///< why the folder could not be read
    int fileCount = 0;
    QStringList started;                 ///< libraries whose registration was started
    QList<RegistrationFailure> failures; ///< libraries whose registration could not be started
    int libraries = 0;                   ///< component libraries found in the folder
    bool stopped = false;                ///< stopped before every library was handed over
};

/// Starts one registration per component library lying directly in `folder`, without waiting
/// for any of them. Nothing is started unless the folder is readable, holds files and a
/// registrar is found. A stop through `control` ends the run before the next library.
RegistrationRun registerFolder(platform::FileSystem& fs, platform::ProgramStarter& programs,
                               const platform::NativePath& folder, platform::RunControl* control = nullptr);

} // namespace korvane::components
