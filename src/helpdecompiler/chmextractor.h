#pragma once

#include "helpdecompiler/chmcore.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace korvane::helpdecompiler {

struct SafeName {
    NameVerdict verdict = NameVerdict::Unsafe;
    QByteArray path;     ///< UTF-8, relative, without leading or trailing "/" (Safe only)
    bool folder = false; ///< the entry names a folder (trailing "/")
};

/// Checks a stored name and turns it into a path relative to the output folder. Names are
/// rejected, never repaired: a repaired name could land on another entry or outside.
/// Names that are not UTF-8 are read as GB18030.
SafeName safeRelativeName(const QByteArray& storedName);

/// One entry that was not written, or not completely.
struct EntryProblem {
    QString name; ///< the stored name as text (control characters shown as "?")
    QString reason;
};

struct ExtractReport {
    bool opened = false; ///< the container was valid and the output folder is ready
    QString error;       ///< why nothing was extracted (opened == false)
    int files = 0;       ///< files written in full
    int folders = 0;     ///< folder entries created
    quint64 bytes = 0;
    /// The first problems met (at most kListedProblems); `problemCount` counts them all.
    QList<EntryProblem> problems;
    int problemCount = 0;
    static constexpr int kListedProblems = 200;

    void addProblem(const QString& name, const QString& reason)
    {
        if (problems.size() < kListedProblems)
            problems.append({name, reason});
        ++problemCount;
    }
};

struct ExtractLimits {
    /// Output cap for one help file, against decompression bombs (entries may overlap).
    quint64 maxTotalBytes = 0;
    /// The cap used when none is given: generous for real help files, bounded for bombs.
    static quint64 defaultFor(quint64 fileSize);
};

/// The same report in Qt's types.
ExtractReport toExtractReport(const core::Report& report);

/// Extracts every normal entry of `chmPath` into the folder `projectName` directly under
/// `targetFolder` (created when missing). Nothing is created before the container has been
/// validated. Files are created relative to folder handles, without following any symbolic
/// link below `targetFolder`; an existing file is replaced by a new one, never written through.
/// Entries go in order of their data, which lets the decompressor run once through the stream.
ExtractReport extractChm(const QByteArray& chmPath, const QByteArray& targetFolder,
                         const QByteArray& projectName, const ExtractLimits& limits);

} // namespace korvane::helpdecompiler
