#include "wordcrypt/documentsteps.h"

#include "platform/uniquefd.h"
#include "wordcrypt/documentfiles.h"
#include "wordcrypt/worddocfile.h"

#include <QFile>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::wordcrypt {

using platform::ErrorKind;
using platform::Status;

Status untouched(ErrorKind kind, const QString& reason)
{
    return Status::failure(kind, reason + QStringLiteral("，文档未作改动"));
}

platform::Result<CheckedDocument> checkDocumentFile(platform::FileSystem& fs, const QByteArray& rawName,
                                                    const QString& officeProfile)
{
    CheckedDocument checked;
    // What gets written is the file a symbolic link points to, never the link itself.
    char resolved[PATH_MAX];
    if (!::realpath(rawName.constData(), resolved))
        return Status::failure(ErrorKind::NotFound, QStringLiteral("文件不存在或无法访问"), errno);
    checked.realPath = QByteArray(resolved);
    // An earlier run killed while writing this document in place: finish or undo that first.
    switch (const Recovery left = recoverInterruptedWrite(fs, checked.realPath); left.kind) {
    case Recovery::Nothing:
    case Recovery::Finished:
    case Recovery::Restored: break;
    case Recovery::Busy: return untouched(ErrorKind::ReadOnly, QStringLiteral("文档正被其他程序打开"));
    case Recovery::BackupKept:
        return untouched(ErrorKind::Failed, QStringLiteral("上次写入此文档未完成，原文档的备份保留在 %1，请核对后恢复")
                                                .arg(QFile::decodeName(left.backup)));
    }
    const platform::Result<platform::FileInfo> info = fs.info(checked.realPath, platform::Links::Follow);
    if (!info || !S_ISREG(info->mode))
        return Status::failure(ErrorKind::NotFound, QStringLiteral("不是文件"));
    if (info->size > kMaxDocumentBytes)
        return untouched(ErrorKind::Failed, QStringLiteral("文件大于 512 MB，不是可处理的 Word 97-2003 文档"));
    if (!hasCompoundSignature(fs.readFile(checked.realPath, 8).valueOr({})))
        return untouched(ErrorKind::Failed, QStringLiteral("不是 Word 97-2003 格式的文件"));
    const platform::Result<WordFileState> state = inspectDocumentPath(checked.realPath);
    if (!state)
        return untouched(ErrorKind::Failed,
                         QStringLiteral("不是有效的 Word 97-2003 文档(%1)").arg(state.status().message()));
    checked.encrypted = state->encrypted;

    switch (lockState(fs, checked.realPath, officeProfile)) {
    case Lock::None: break;
    case Lock::OursStale:
        fs.deleteFile(lockPath(checked.realPath), true); // left by an office of ours that died
        break;
    case Lock::Foreign: return untouched(ErrorKind::ReadOnly, QStringLiteral("文档正被其他程序打开"));
    }
    return checked;
}

Status checkWritable(platform::FileSystem& fs, const QByteArray& realPath)
{
    const platform::Result<platform::FileInfo> info = fs.info(realPath, platform::Links::Follow);
    if (!info || !S_ISREG(info->mode))
        return untouched(ErrorKind::Failed, QStringLiteral("文件无法访问"));
    // Write access is checked on the file itself, as the final write needs it; the kernel has
    // the last word (owner, group, root), so the file is opened for writing too.
    if ((info->mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return untouched(ErrorKind::ReadOnly, QStringLiteral("文档只读或已被锁定"));
    if (const platform::UniqueFd probe(::open(realPath.constData(), O_WRONLY | O_CLOEXEC)); !probe.valid())
        return untouched(ErrorKind::ReadOnly,
                         QStringLiteral("文档只读或已被锁定(%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
    return {};
}

Status replaceWithResult(platform::FileSystem& fs, const QByteArray& realPath, const QByteArray& result)
{
    Replacement done;
    if (!replaceDocument(fs, realPath, result, &done))
        return untouched(ErrorKind::Io, QStringLiteral("无法建立备份"));
    switch (done.kind) {
    case Replacement::Renamed:
    case Replacement::InPlace: return {};
    case Replacement::Restored: return Status::failure(ErrorKind::Io, QStringLiteral("写入文档失败，已恢复原文档"));
    case Replacement::Kept: break;
    }
    return Status::failure(ErrorKind::Io,
                           QStringLiteral("写入文档失败，原文档的备份保留在 ") + QFile::decodeName(done.backup));
}

} // namespace korvane::wordcrypt
