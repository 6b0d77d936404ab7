#include "helpdecompiler/chmextractor.h"

namespace korvane::helpdecompiler {

namespace {

std::string bytes(const QByteArray& data)
{
    return std::string(data.constData(), std::size_t(data.size()));
}

} // namespace

quint64 ExtractLimits::defaultFor(quint64 fileSize)
{
    return core::defaultCap(fileSize);
}

ExtractReport extractChm(const QByteArray& chmPath, const QByteArray& targetFolder, const QByteArray& projectName,
                         const ExtractLimits& limits)
{
    return core::extract(bytes(chmPath), bytes(targetFolder), bytes(projectName), limits.maxTotalBytes);
}

} // namespace korvane::helpdecompiler
