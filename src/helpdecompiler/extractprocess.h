#pragma once

#include "helpdecompiler/chmextractor.h"
#include "platform/filesystem.h"

#include <QString>
#include <atomic>
#include <optional>

namespace korvane::platform {
class ProgramStarter;
}

namespace korvane::helpdecompiler {

/// The helper program, in the program's own folder.
inline constexpr char kExtractHelperName[] = "korvane-chmextract";

/// The helper's report on standard output: one line a fact, fields separated by tabs.
QByteArray formatExtractReport(const ExtractReport& report);
/// Reads a report; nullopt when it is incomplete (the helper died before its last line).
std::optional<ExtractReport> parseExtractReport(const QByteArray& text);

/// Extracts a help file in the helper process with a time limit: a crash, a hang or a
/// runaway allocation in the decompressor fails that one help file and nothing else.
class ExtractProcess {
public:
    /// `files` takes the snapshot of the output folder and the rollback after a stop.
    ExtractProcess(platform::ProgramStarter& programs, platform::FileSystem& files, QString helperPath);

    /// A stop (RunControl) kills the helper and takes back what it wrote: every file and folder
    /// in the output folder that was not there before (the whole folder when it is new). Pages it
    /// replaced keep their new content. A partial page that a helper killed together with its
    /// caller left behind is removed before the helper starts.
    ExtractReport extract(const platform::NativePath& chmFile, const platform::NativePath& targetFolder,
                          const QByteArray& projectName, quint64 fileSize);

    /// Milliseconds allowed for a help file of this size.
    static int timeoutFor(quint64 fileSize);

private:
    platform::ProgramStarter& m_programs;
    platform::FileSystem& m_files;
    QString m_helper;
    std::atomic<int> m_running{0}; ///< helpers of this object now running (runs call extract side by side)
};

} // namespace korvane::helpdecompiler
