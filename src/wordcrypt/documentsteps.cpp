#include "wordcrypt/documentsteps.h"

#include "platform/uniquefd.h"
#include "wordcrypt/documentfiles.h"
#include "wordcrypt/worddocfile.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
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

QString unreachableText(platform::FileSystem& fs, const QByteArray& path)
{
    if (const auto info = fs.info(path, platform::Links::Follow); !info && info.status().errnum() == ELOOP)
        return QStringLiteral("符号链接循环");
    return QStringLiteral("文件不存在");
}

namespace {

Status busy()
{
    return untouched(ErrorKind::ReadOnly, QStringLiteral("文档正被其他程序打开"));
}

/// The document's inode locked, once the lock is on the file its path still leads to (a run
/// that renamed its result over the document has just let go of the old inode). Another run
/// holding it is waited for a moment.
platform::Result<std::shared_ptr<platform::HeldLock>> holdDocument(platform::FileSystem& fs, const QByteArray& path)
{
    const QDeadlineTimer deadline(kDocumentLockWaitMs);
    for (;;) {
        const platform::Result<platform::FileInfo> before = fs.info(path, platform::Links::Follow);
        if (!before || !S_ISREG(before->mode))
            return Status::failure(ErrorKind::NotFound, QStringLiteral("不是文件"));
        platform::Result<std::unique_ptr<platform::HeldLock>> held = fs.lock(path, false);
        if (held) {
            const platform::Result<platform::FileInfo> after = fs.info(path, platform::Links::Follow);
            if (after && after->device == before->device && after->inode == before->inode)
                return std::shared_ptr<platform::HeldLock>(std::move(*held));
            continue;
        }
        const int e = held.status().errnum();
        // Where the file system has no such locks (some network file systems), runs are not
        // kept apart, as before there was a lock.
        if (e == ENOLCK || e == EBADF || e == EOPNOTSUPP || e == EINVAL)
            return std::shared_ptr<platform::HeldLock>();
        if (e != EWOULDBLOCK)
            return untouched(ErrorKind::Failed, QStringLiteral("文件无法访问(%1)").arg(held.status().message()));
        if (deadline.hasExpired())
            return busy();
        QThread::msleep(20);
    }
}

/// What an interrupted write of an earlier run left, settled first.
Status recover(platform::FileSystem& fs, const QByteArray& realPath)
{
    switch (const Recovery left = recoverInterruptedWrite(fs, realPath); left.kind) {
    case Recovery::Nothing:
    case Recovery::Finished:
    case Recovery::Restored: return {};
    case Recovery::Busy: return busy();
    case Recovery::BackupKept:
        return untouched(ErrorKind::Failed, QStringLiteral("上次写入此文档未完成，原文档的备份保留在 %1，请核对后恢复")
                                                .arg(QFile::decodeName(left.backup)));
    }
    return {};
}

} // namespace

platform::Result<CheckedDocument> checkDocumentFile(platform::FileSystem& fs, const QByteArray& rawName,
                                                    const QString& officeProfile)
{
    CheckedDocument checked;
    // What gets written is the file a symbolic link points to, never the link itself.
    char resolved[PATH_MAX];
    if (!::realpath(rawName.constData(), resolved)) {
        const int e = errno;
        return Status::failure(ErrorKind::NotFound,
                               e == ELOOP ? QStringLiteral("符号链接循环") : QStringLiteral("文件不存在或无法访问"), e);
    }
    checked.realPath = QByteArray(resolved);
    platform::Result<std::shared_ptr<platform::HeldLock>> held = holdDocument(fs, checked.realPath);
    if (!held)
        return held.status();
    checked.lock = std::move(*held);
    if (const Status recovered = recover(fs, checked.realPath); !recovered.ok())
        return recovered;
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
    case Lock::Foreign: return busy();
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
    if (const Status probe = fs.probeWrite(realPath); !probe)
        return untouched(ErrorKind::ReadOnly, QStringLiteral("文档只读或已被锁定(%1)").arg(probe.message()));
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
