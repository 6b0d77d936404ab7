#pragma once

// The shared sample files (../shared/testdata beside the source tree; ctest passes the folder
// as KORVANE_TESTDATA). They are not part of the project: a test that reads them skips when
// they are absent, and its message names what is missing.
//
//     const QString folder = testsupport::sampleFolder(QStringLiteral("dwg"));
//     if (folder.isEmpty())
//         QSKIP(testsupport::missingSamples(QStringLiteral("dwg")));

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

namespace korvane::testsupport {

namespace detail {

/// The first of the samples' root, its folder `part` and `entry` in that folder which is
/// missing; "" when all are there or KORVANE_TESTDATA is not set.
inline QString firstMissing(const QString& part, const QString& entry)
{
    const QString root = qEnvironmentVariable("KORVANE_TESTDATA");
    if (root.isEmpty())
        return {};
    QStringList steps{QDir::cleanPath(root)};
    steps << steps.last() + QLatin1Char('/') + part;
    if (!entry.isEmpty())
        steps << steps.last() + QLatin1Char('/') + entry;
    for (const QString& path : steps) {
        if (!QFileInfo::exists(path))
            return path;
    }
    return {};
}

} // namespace detail

/// The samples' folder `part` ("dwg", "chm"), or "" when it, or `entry` in it, is missing.
inline QString sampleFolder(const QString& part, const QString& entry = {})
{
    const QString root = qEnvironmentVariable("KORVANE_TESTDATA");
    if (root.isEmpty() || !detail::firstMissing(part, entry).isEmpty())
        return {};
    return QDir::cleanPath(root) + QLatin1Char('/') + part;
}

/// The path of `entry` in the samples' folder `part`, or "" when it is missing.
inline QString sampleFile(const QString& part, const QString& entry)
{
    const QString folder = sampleFolder(part, entry);
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + entry;
}

/// Why sampleFolder(part, entry) is empty, for QSKIP: it names the folder or file that is
/// missing. Valid until the next call.
inline const char* missingSamples(const QString& part, const QString& entry = {})
{
    static QByteArray message;
    const QString missing = detail::firstMissing(part, entry);
    message = missing.isEmpty() ? QByteArrayLiteral("no sample files: KORVANE_TESTDATA is not set")
                                : "no sample files: " + QFile::encodeName(missing) + " is missing";
    return message.constData();
}

} // namespace korvane::testsupport
