#pragma once

#include "helpdecompiler/chmcore.h"

#include <QByteArray>
#include <QtGlobal>

namespace korvane::helpdecompiler {

struct ExtractLimits {
    /// Output cap for one help file, against decompression bombs (entries may overlap).
    quint64 maxTotalBytes = 0;
    /// The cap used when none is given: generous for real help files, bounded for bombs.
    static quint64 defaultFor(quint64 fileSize);
};

/// Extracts every normal entry of `chmPath` into the folder `projectName` directly under
/// `targetFolder` (created when missing). Nothing is created before the container has been
/// validated. Files are created relative to folder handles, without following any symbolic
/// link below `targetFolder`; an existing file is replaced by a new one, never written through.
/// Entries go in order of their data, which lets the decompressor run once through the stream.
ExtractReport extractChm(const QByteArray& chmPath, const QByteArray& targetFolder, const QByteArray& projectName,
                         const ExtractLimits& limits);

} // namespace korvane::helpdecompiler
