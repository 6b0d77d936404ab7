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

SafeName safeRelativeName(const QByteArray& storedName)
{
    const core::SafeName name = core::safeRelativeName(bytes(storedName));
    return {name.verdict, QByteArray::fromStdString(name.path), name.folder};
}

ExtractReport toExtractReport(const core::Report& report)
{
    ExtractReport result;
    result.opened = report.opened;
    result.error = QString::fromStdString(report.error);
    result.files = report.files;
    result.folders = report.folders;
    result.bytes = report.bytes;
    for (const core::Problem& problem : report.problems)
        result.problems.append(
            {QString::fromStdString(problem.name), QString::fromStdString(problem.reason)});
    result.problemCount = report.problemCount;
    return result;
}

ExtractReport extractChm(const QByteArray& chmPath, const QByteArray& targetFolder,
                         const QByteArray& projectName, const ExtractLimits& limits)
{
    return toExtractReport(
        core::extract(bytes(chmPath), bytes(targetFolder), bytes(projectName), limits.maxTotalBytes));
}

} // namespace korvane::helpdecompiler
