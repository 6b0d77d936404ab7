#pragma once

#include "platform/filesystem.h"

namespace korvane::platform {

/// The real file system through POSIX calls, on raw byte paths.
class LocalFileSystem final : public FileSystem {
public:
    std::optional<std::vector<DirEntry>> list(const NativePath& folder, FsStatus* status = nullptr) override;
    std::optional<FileInfo> info(const NativePath& path) override;
    bool fileExists(const NativePath& path) override;
    bool folderExists(const NativePath& path) override;
    FsStatus moveFile(const NativePath& file, const NativePath& destFolder) override;
    FsStatus copyFile(const NativePath& file, const NativePath& destFolder, bool overwrite) override;
    FsStatus deleteFile(const NativePath& file, bool force) override;
    FsStatus createFolder(const NativePath& folder) override;
    FsStatus writeFile(const NativePath& path, const QByteArray& bytes) override;
    std::optional<QByteArray> readFile(const NativePath& path, qint64 maxBytes = -1) override;
};

} // namespace korvane::platform
