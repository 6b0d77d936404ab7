#pragma once

#include "components/wineenv.h"
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

/// The arguments after `wine` that register one library, given by its full Unix path, with
/// regsvr32 of the library's bitness: a 64-bit prefix keeps the 32-bit one in syswow64.
QStringList registrationArguments(const WineEnvironment& wine, bool is64, const QString& libraryPath);

/// A folder path as the file system names it: relative paths made absolute, trailing "/"
/// dropped except for the root.
platform::NativePath folderPath(const platform::NativePath& typed);

/// What lies directly in a folder, as registering needs it.
struct FolderScan {
    int fileCount = 0;                     ///< every file, whatever its name; subfolders don't count
    QList<platform::NativePath> libraries; ///< full paths of the component libraries, in listing order
};

/// Fails when the path is empty, not a folder, or the folder cannot be listed.
platform::Result<FolderScan> scanFolder(platform::FileSystem& fs, const platform::NativePath& folder);

struct RegistrationFailure {
    QString file; ///< for display
    QString reason;
    bool started = false; ///< regsvr32 ran and failed; false: refused before starting
};

struct RegistrationRun {
    enum class Outcome {
        Registered,   ///< every library was looked at (see registered and failures)
        NotAFolder,   ///< empty path, missing path or not a folder
        Unreadable,   ///< the folder could not be listed
        NoFiles,      ///< the folder holds no file at all
        NoRegistrar,  ///< libraries present, but Wine is not installed
        PrefixFailed, ///< the Wine prefix could not be prepared (see error)
    };
    Outcome outcome = Outcome::NotAFolder;
    QString folder;         ///< the folder as shown to the user
    platform::Status error; ///< why the folder could not be read or the prefix not prepared
    int fileCount = 0;
    QStringList registered;              ///< libraries regsvr32 registered (exit code 0)
    QList<RegistrationFailure> failures; ///< libraries refused or not registered, with reasons
    int libraries = 0;                   ///< component libraries found in the folder
    bool stopped = false;                ///< stopped before every library was registered
};

struct RegistrationOptions {
    int timeoutMs = 60'000;         ///< per library: a hung DllRegisterServer must not hang the run
    int parallel = 4;               ///< registrations at a time (they share one wineserver)
    int prepareTimeoutMs = 300'000; ///< creating a new prefix
};

/// Registers every component library lying directly in `folder` through Wine's regsvr32 and
/// waits for each. A library is first read and checked (checkLibrary); one that cannot work is
/// reported and not started. A prefix that does not exist yet is created first. Only an exit
/// code of 0 counts as registered. Nothing is started unless the folder is readable, holds
/// files and Wine is found. A stop through `control` kills the registrations under way and
/// starts no more. `wine` null: detected (detectWine).
RegistrationRun registerFolder(platform::FileSystem& fs, platform::ProgramStarter& programs,
                               const platform::NativePath& folder, platform::RunControl* control = nullptr,
                               const WineEnvironment* wine = nullptr, const RegistrationOptions& options = {});

/// What a window says after a run: `text` (empty: nothing) and the longer `details`.
struct RegistrationMessage {
    QString text;
    QString details;
};

/// The message for a run started by a button whose completion sentence is `done` and whose
/// sentence for a folder without files is `noFiles` (empty: silent). `done` only when every
/// library registered; otherwise how many did and why each other did not.
RegistrationMessage registrationMessage(const RegistrationRun& run, const QString& done, const QString& noFiles);

} // namespace korvane::components
