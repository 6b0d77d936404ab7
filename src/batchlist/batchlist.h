#pragma once

#include "platform/filesystem.h"
#include "platform/runcontrol.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <vector>

namespace korvane::batchlist {

/// One entry of a batch list: the text the user sees and the raw path it stands for. A typed
/// entry's path is its text in UTF-8; a walked entry keeps the name bytes the kernel gave us.
struct BatchEntry {
    QString text;
    platform::NativePath path;
};

/// Removes leading and trailing spaces only (tabs and other blanks stay), as the list's trimming does.
QString trimSpaces(const QString& text);
platform::NativePath trimSpaces(const platform::NativePath& path);
BatchEntry trimmed(const BatchEntry& entry);

/// Splits a ";"-separated extension list and prepares each entry for matching (spaces trimmed,
/// lower case). An empty entry matches every name, as a zero-length tail always does.
QStringList parseExtensions(const QString& list);
/// True when the name's last characters, as many as some entry has, equal that entry ignoring
/// case. No dot is implied: "xdoc" matches "doc", "a.docx" does not.
bool nameMatches(const QByteArray& name, const QStringList& extensions);

/// The entries of a batch list in the order added. Exact duplicates (same bytes: case and
/// spaces count) are refused, found through a hash rather than a scan.
class BatchList {
public:
    /// The list box counts with 16-bit signed integers.
    static constexpr int kMaxEntries = 32767;
    enum class AddResult { Added, Duplicate, Full };

    AddResult add(BatchEntry entry);
    bool contains(const platform::NativePath& path) const { return m_paths.contains(path); }
    void removeAt(int index);
    void clear();
    int size() const { return int(m_entries.size()); }
    bool isFull() const { return size() >= kMaxEntries; }
    const BatchEntry& at(int index) const { return m_entries[size_t(index)]; }
    const std::vector<BatchEntry>& entries() const { return m_entries; }

private:
    std::vector<BatchEntry> m_entries;
    QSet<platform::NativePath> m_paths;
};

/// What a folder walk did. Failures are skipped, never reported as errors, but counted.
struct WalkResult {
    int added = 0;
    bool limitReached = false; ///< the list filled up; later matches were not added
    int unreadableFolders = 0; ///< folders whose listing failed (their part of the tree is missing)
    bool stopped = false;      ///< stopped before the walk ended; what was added stays
};

/// Walks `folder` depth first (a folder's own files before its subfolders, both in the file
/// system's order) and appends every matching file that is not yet listed. Symbolic links to
/// folders are not followed, a folder reached twice (bind mounts) is walked once, and a folder
/// that cannot be listed contributes nothing while the rest of the tree is still walked.
/// A stop through `control` ends the walk before the next folder; progress counts folders.
WalkResult addMatchingFiles(platform::FileSystem& fs, const platform::NativePath& folder, const QStringList& extensions,
                            BatchList& list, platform::RunControl* control = nullptr);

/// Counts of the files and (real, not linked) subfolders directly in a folder; nullopt when it
/// cannot be listed.
struct FolderCounts {
    int files = 0;
    int subFolders = 0;
};
std::optional<FolderCounts> countEntries(platform::FileSystem& fs, const platform::NativePath& folder);

} // namespace korvane::batchlist
