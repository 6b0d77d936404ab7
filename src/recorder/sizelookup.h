#pragma once

#include "platform/filesystem.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace korvane::recorder {

class FileDatabase;

/// Reads the number a text box starts with: blanks, tabs and line feeds are dropped anywhere
/// first; then a sign, digits with at most one "." and an exponent, or "&H"/"&O" with
/// hexadecimal/octal digits, up to the first character that cannot continue it. No number
/// reads as 0; "." is the decimal point whatever the locale. Null when the number overflows.
std::optional<double> numericPrefix(const QString& text);

/// 1024 raised to (2 - position): "MB" 0, "KB" 1, "Byte" 2.
double unitFactor(int position);

struct SizeBounds {
    double lower = 0;
    double upper = 0;
};

/// (size ∓ tolerance) × factor, each bound as it reads when written with 15 significant
/// digits. Null when a box overflows.
std::optional<SizeBounds> sizeBounds(const QString& sizeText, const QString& toleranceText, int unitPosition);

struct LookupResult {
    enum class Outcome {
        Listed,      ///< at least one name
        NoneInRange, ///< "没有记录!"
        Failed,      ///< "没有记录"; `names` keeps what was listed before the error
    };
    Outcome outcome = Outcome::Failed;
    QStringList names;
    QList<qint64> sizes; ///< each name's size in bytes
};

/// The whole lookup over the file table: bounds from the three inputs, then every name in range.
LookupResult lookUpBySize(FileDatabase& db, const QString& sizeText, const QString& toleranceText, int unitPosition);

/// The exact size in bytes of the one file dropped onto the size box; nullopt for several
/// paths, a folder or a file that cannot be looked at (the drop is then refused).
std::optional<qint64> droppedFileSize(platform::FileSystem& fs, const QList<platform::NativePath>& paths);

/// The result box's text: each name followed by CR LF.
QString resultsText(const QStringList& names);

} // namespace korvane::recorder
