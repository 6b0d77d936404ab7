#pragma once

#include <QString>

namespace korvane::platform {

/// Where the parts of a Korvane program lie. `current()` describes the running process; tests
/// build one from temporary folders.
struct ProgramLayout {
    /// Folder of the running executable.
    QString executableFolder;
    /// Per-user data folder, Korvane's folder when installed (normally ~/.local/share/korvane).
    QString userDataFolder;
    /// Read-only data installed with the program: holds the empty db1.mdb (share/korvane).
    QString shippedDataFolder;
    /// Helper programs of an installed program (libexec/korvane).
    QString installedHelperFolder;

    /// The executable's folder, QStandardPaths::AppDataLocation (so the application name must
    /// be set first), and the install folders relative to the executable as configured at build
    /// time, so an installed tree can be moved or unpacked anywhere.
    static ProgramLayout current();
};

/// The name of the recorder's database in Korvane's folder.
inline constexpr char kDatabaseFileName[] = "db1.mdb";

/// True when Korvane's folder is the executable's folder: it is writable and holds db1.mdb
/// (the build tree, an unpacked folder).
bool isPortable(const ProgramLayout& layout);

/// Korvane's folder, where db1.mdb, setting.txt and readme.txt live: the executable's folder
/// when portable, otherwise the per-user data folder. That folder is made on first use and,
/// when it has no db1.mdb, gets a copy of the shipped empty one; an existing file is never
/// touched. Making or seeding may fail (no home, no shipped file): the folder is returned all
/// the same, and the windows then report the missing database as they do for any other.
QString korvaneFolder(const ProgramLayout& layout = ProgramLayout::current());

/// Folder of the helper programs (korvane-chmextract, korvane-unohelper): the installed helper
/// folder when it exists, otherwise beside the executable.
QString helperFolder(const ProgramLayout& layout = ProgramLayout::current());

} // namespace korvane::platform
