#pragma once

#include "components/peimage.h"
#include "platform/filesystem.h"
#include "platform/programstarter.h"

#include <QSet>
#include <QString>
#include <QStringList>

namespace korvane::components {

/// The Wine installation and prefix that Windows components are registered in.
struct WineEnvironment {
    QString wine;            ///< the `wine` program; "" when Wine is not installed
    QString prefix;          ///< WINEPREFIX, else ~/.wine
    bool run32 = false;      ///< Wine's 32-bit half is installed (Debian: wine32, libwine:i386)
    bool run64 = false;      ///< Wine's 64-bit half is installed (Debian: wine64)
    bool prefix64 = false;   ///< the prefix is (or will be created as) a 64-bit one
    QSet<QString> builtin32; ///< lower-case names of Wine's own 32-bit DLLs
    QSet<QString> builtin64;

    /// Where Windows looks for a library's imports of this bitness, besides its own folder.
    QString systemFolder(bool is64) const;
};

/// Wine's library folders as the distributions install them (Debian's multiarch ones first).
QStringList defaultWineLibraryFolders();

/// Looks for `wine` on the PATH and for Wine's built-in DLLs in `libraryFolders` (their
/// `i386-windows`/`x86_64-windows` and `-unix` subfolders). A half of Wine counts as present
/// when its ntdll is there: that is what every Windows program of that bitness loads first.
WineEnvironment detectWine(platform::FileSystem& fs, platform::ProgramStarter& programs,
                           const QStringList& libraryFolders = defaultWineLibraryFolders(),
                           const QString& prefix = platform::winePrefix());

/// True when the prefix has been created (its system registry exists).
bool prefixReady(platform::FileSystem& fs, const WineEnvironment& wine);

/// Lower-case names of the files directly in a folder; empty when it cannot be listed.
QSet<QString> lowerCaseNames(platform::FileSystem& fs, const platform::NativePath& folder);

/// Whether registering a library can work: an image of a machine this Wine runs, exporting
/// DllRegisterServer, whose imported DLLs are all found in its folder (`folderNames`, lower
/// case), the prefix's system folder (`systemNames`) or among Wine's own. A failure says why
/// it cannot be registered, in Chinese.
platform::Status checkLibrary(const PeImage& image, const WineEnvironment& wine, const QSet<QString>& folderNames,
                              const QSet<QString>& systemNames);

/// regsvr32's exit code in words, for a library it did not register; "" for 0.
QString regsvr32ExitReason(int exitCode);

} // namespace korvane::components
