#pragma once

// Word documents the real office made from plain text: one.doc, two.doc, one.docx, two.docx.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace korvane::testsupport {

/// Puts the samples into `folder`: copied from the ones ctest's fixture made
/// (KORVANE_OFFICE_SAMPLES), or made here by `office` when the test runs on its own.
inline bool officeSamplesInto(const QString& office, const QString& folder)
{
    const QStringList names = {QStringLiteral("one.doc"), QStringLiteral("two.doc"), QStringLiteral("one.docx"),
                               QStringLiteral("two.docx")};
    const QString made = qEnvironmentVariable("KORVANE_OFFICE_SAMPLES");
    if (!made.isEmpty()) {
        for (const QString& name : names)
            if (!QFile::copy(made + QLatin1Char('/') + name, folder + QLatin1Char('/') + name))
                return false;
        return true;
    }
    QTemporaryDir profile;
    QStringList sources;
    for (const char* name : {"one", "two"}) {
        QFile f(QStringLiteral("%1/%2.txt").arg(folder, QLatin1String(name)));
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(QByteArray("Korvane sample ") + name + "\n");
        sources << f.fileName();
    }
    for (const QString& format : {QStringLiteral("doc"), QStringLiteral("docx")}) {
        QProcess convert;
        convert.setProcessChannelMode(QProcess::MergedChannels);
        convert.start(office, QStringList{QStringLiteral("-env:UserInstallation=file://") + profile.path(),
                                          QStringLiteral("--headless"), QStringLiteral("--convert-to"), format,
                                          QStringLiteral("--outdir"), folder} +
                                  sources);
        if (!convert.waitForFinished(180000))
            return false;
    }
    for (const QString& source : sources)
        QFile::remove(source);
    for (const QString& name : names)
        if (!QFile::exists(folder + QLatin1Char('/') + name))
            return false;
    return true;
}

} // namespace korvane::testsupport
