#pragma once

// Word documents the real office made from plain text: one.doc, two.doc, one.docx, two.docx.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace korvane::testsupport {

/// Puts the samples into `folder`: copied from the ones ctest's fixture made
/// (KORVANE_OFFICE_SAMPLES), or, when the test runs on its own, from the ones the fixture's
/// script makes here.
inline bool officeSamplesInto(const QString& folder)
{
    QString made = qEnvironmentVariable("KORVANE_OFFICE_SAMPLES");
    QTemporaryDir own;
    if (made.isEmpty()) {
        made = own.filePath(QStringLiteral("samples"));
        QProcess script;
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QStringLiteral("cmake"), {QStringLiteral("-DOUT=") + made, QStringLiteral("-P"),
                                               QStringLiteral(QT_TESTCASE_SOURCEDIR "/makesamples.cmake")});
        if (!script.waitForFinished(400000) || script.exitCode() != 0)
            return false;
    }
    for (const char* name : {"one.doc", "two.doc", "one.docx", "two.docx"})
        if (!QFile::copy(made + QLatin1Char('/') + QLatin1String(name),
                         folder + QLatin1Char('/') + QLatin1String(name)))
            return false;
    return true;
}

} // namespace korvane::testsupport
