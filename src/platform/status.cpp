#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace korvane::platform {

namespace {

QString errnoReason(int errnum)
{
    switch (errnum) {
    case EACCES:
    case EPERM: return QStringLiteral("没有权限");
    case ENOSPC: return QStringLiteral("磁盘空间不足");
    case EDQUOT: return QStringLiteral("超出磁盘配额");
    case EROFS: return QStringLiteral("文件系统是只读的");
    case EIO: return QStringLiteral("读写错误");
    case EBUSY:
    case ETXTBSY: return QStringLiteral("文件正在使用中");
    case ENAMETOOLONG: return QStringLiteral("文件名太长");
    case ELOOP: return QStringLiteral("符号链接层次太多");
    case EISDIR: return QStringLiteral("路径是文件夹");
    case ENOTEMPTY: return QStringLiteral("文件夹不是空的");
    case EMFILE:
    case ENFILE: return QStringLiteral("打开的文件太多");
    case EFBIG: return QStringLiteral("文件太大");
    case EXDEV: return QStringLiteral("不能跨文件系统操作");
    case ENOMEM: return QStringLiteral("内存不足");
    case EINTR:
    case EAGAIN: return QStringLiteral("操作被中断");
    default: return QStringLiteral("系统错误");
    }
}

} // namespace

Status Status::fromErrno(int errnum)
{
    switch (errnum) {
    case 0: return {};
    case ENOENT: return failure(ErrorKind::NotFound, {}, errnum);
    case EEXIST: return failure(ErrorKind::AlreadyExists, {}, errnum);
    case ENOTDIR: return failure(ErrorKind::NotAFolder, {}, errnum);
    default: return failure(ErrorKind::Io, {}, errnum);
    }
}

QString Status::message() const
{
    if (!m_message.isEmpty())
        return m_message;
    switch (m_kind) {
    case ErrorKind::None: return {};
    case ErrorKind::NotFound: return QStringLiteral("文件或文件夹不存在");
    case ErrorKind::AlreadyExists: return QStringLiteral("目标位置已有同名文件");
    case ErrorKind::ReadOnly: return QStringLiteral("文件是只读的");
    case ErrorKind::SameFile: return QStringLiteral("源文件和目标文件是同一个文件");
    case ErrorKind::NotAFolder: return QStringLiteral("路径不是文件夹");
    case ErrorKind::Cancelled: return QStringLiteral("操作已取消");
    case ErrorKind::Injected: return QStringLiteral("模拟的错误");
    case ErrorKind::Io:
    case ErrorKind::Failed: break;
    }
    // strerror(0) would say "Success": a failure reported without an errno gets a word of its kind.
    if (m_errnum == 0)
        return m_kind == ErrorKind::Io ? QStringLiteral("读写错误") : QStringLiteral("操作失败");
    // The kernel's own words stay as a detail, in the session's language.
    return QStringLiteral("%1(%2)").arg(errnoReason(m_errnum), QString::fromLocal8Bit(std::strerror(m_errnum)));
}

} // namespace korvane::platform
