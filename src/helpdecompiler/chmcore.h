#pragma once
// Extraction of one help file, on the standard library and libmspack only: this is what the
// helper process runs, and a helper without Qt starts in a fraction of the time.

#include "helpdecompiler/chmproject.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace korvane::helpdecompiler {

/// What a stored entry name means for extraction.
enum class NameVerdict {
    Internal, ///< the container's own data (/#…, /$…, ::…): never written
    Root,     ///< the entry "/" itself
    Safe,     ///< a relative path that stays inside the output folder
    Unsafe,   ///< "..", ".", empty components, backslashes, control characters, no leading "/"
    TooLong,  ///< a component over 255 bytes, or the whole path over 4,095
    BadEncoding,
};

struct SafeName {
    NameVerdict verdict = NameVerdict::Unsafe;
    std::string path;    ///< UTF-8, relative, without leading or trailing "/" (Safe only)
    bool folder = false; ///< the entry names a folder (trailing "/")
};

/// One entry that was not written, or not completely. Texts are UTF-8.
struct EntryProblem {
    std::string name; ///< the stored name as text, control characters shown as "?"
    std::string reason;
};

/// What the extraction of one help file did. Texts are UTF-8; the window turns them into
/// QString where it shows them.
struct ExtractReport {
    bool opened = false; ///< the container was valid and the output folder is ready
    std::string error;   ///< why nothing was extracted (opened == false)
    int files = 0;       ///< files written in full
    int folders = 0;     ///< folder entries created
    std::uint64_t bytes = 0;
    /// The first problems met (at most kListedProblems); `problemCount` counts them all.
    std::vector<EntryProblem> problems;
    int problemCount = 0;
    /// What the help file's own tables say about its project (read whenever the file opened).
    ChmProjectFacts project;
    static constexpr std::size_t kListedProblems = 200;

    void addProblem(std::string name, std::string reason)
    {
        if (problems.size() < kListedProblems)
            problems.push_back({std::move(name), std::move(reason)});
        ++problemCount;
    }
};

namespace core {

/// Checks a stored name and turns it into a path relative to the output folder. Names are
/// rejected, never repaired: a repaired name could land on another entry or outside.
/// Names that are not UTF-8 are read as GB18030.
SafeName safeRelativeName(const std::string& storedName);

/// True when the bytes are valid UTF-8.
bool isUtf8(const std::string& bytes);

/// The stored name as text for the user: each component UTF-8, else GB18030, else with "?"
/// for every byte that is not plain ASCII; control characters as "?".
std::string shownName(const std::string& storedName);

/// The name each entry is written under, directly in the output folder, until it is complete
/// and renamed into place: a helper stopped at its limit leaves no half-written page under a
/// page's name. Stored names with a backslash are refused, so no entry can ever take it.
inline constexpr char kPartialFileName[] = ".korvane\\partial";

/// Removes what a helper that was stopped left under kPartialFileName in the output folder
/// `projectName` directly under `targetFolder`; links are not followed.
void removePartialFile(const std::string& targetFolder, const std::string& projectName);

/// Removes the page that is being written under its own name, if any: the helper's handler of
/// its death signal calls it, so that a helper ended with its caller leaves no page cut short.
/// Async-signal-safe; meant for a process that runs one extraction at a time.
void removePageInProgress() noexcept;

/// The cap on the output of one help file, against decompression bombs (entries may overlap).
std::uint64_t defaultCap(std::uint64_t fileSize);

/// Extracts every normal entry of `chmPath` into the folder `projectName` directly under
/// `targetFolder`; see extractChm in chmextractor.h. With `secondThread`, pages are put on
/// disk by a thread of their own when a second core is there; a caller that runs several
/// extractions side by side already keeps the cores busy and says false.
ExtractReport extract(const std::string& chmPath, const std::string& targetFolder, const std::string& projectName,
                      std::uint64_t maxTotalBytes, bool secondThread = true);

/// The helper's report on standard output: one line a fact, fields separated by tabs.
std::string formatReport(const ExtractReport& report);

} // namespace core
} // namespace korvane::helpdecompiler
