#pragma once

#include "platform/filesystem.h"

namespace korvane::platform {

/// The real file system through POSIX calls, on raw byte paths.
class LocalFileSystem final : public FileSystem {
public:
    // Plain calls (localfilesystem.cpp)
    Result<FileInfo> info(const NativePath& path, Links links = Links::Own) override;
    bool fileExists(const NativePath& path) override;
    bool folderExists(const NativePath& path) override;
    Status deleteFile(const NativePath& file, bool force) override;
    Status createFolder(const NativePath& folder) override;
    Status writeFile(const NativePath& path, const QByteArray& bytes) override;
    Result<QByteArray> readFile(const NativePath& path, qint64 maxBytes = -1) override;
    Result<std::unique_ptr<HeldLock>> createExclusive(const NativePath& path, quint32 mode,
                                                      EntryKind kind = EntryKind::File) override;
    Result<std::unique_ptr<HeldLock>> lock(const NativePath& path, bool wait) override;
    Status probeWrite(const NativePath& file) override;
    Status link(const NativePath& from, const NativePath& to) override;
    Status sync(const NativePath& path) override;
    // Copy and replace (localfilesystemcopy.cpp, localfilesystemtemporaries.cpp)
    Status moveFile(const NativePath& file, const NativePath& destFolder) override;
    Status copyFile(const NativePath& file, const NativePath& destFolder, bool overwrite,
                    bool* replaced = nullptr) override;
    Status copyInto(const NativePath& from, const NativePath& to) override;
    Result<bool> sameContents(const NativePath& a, const NativePath& b) override;
    Status renameOver(const NativePath& from, const NativePath& to) override;
    /// One on a rotational disk (parallel writes make its head seek) or with one core to run
    /// on; otherwise the cores this process may use, at most four.
    int concurrentWriters(const NativePath& folder) override;
    // Tree walks and listings (localfilesystemwalk.cpp)
    Result<std::vector<DirEntry>> list(const NativePath& folder) override;
    Status listInPieces(const NativePath& folder, size_t piece,
                        const std::function<void(std::vector<DirEntry>&&)>& take) override;
    Result<std::unique_ptr<OpenFolder>> openFolder(const NativePath& folder) override;
    Result<TreeSnapshot> snapshot(const NativePath& folder) override;
    Status removeAllBut(const NativePath& folder, const TreeSnapshot& keep) override;
    Status removeFlatFolder(const NativePath& folder) override;
};

} // namespace korvane::platform
