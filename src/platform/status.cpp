#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace korvane::platform {

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
    // A failure reported without words has none: strerror(0) would say "Success".
    return m_errnum ? QString::fromLocal8Bit(std::strerror(m_errnum)) : QString();
}

} // namespace korvane::platform
