#pragma once

#include "platform/filesystem.h"

#include <QStringList>

namespace korvane::helpdecompiler {

/// What a help project file says about a decompiled folder.
struct HelpProjectContent {
    QString contentsFile; ///< "" when none was found
    QString defaultTopic; ///< "" when none was found: the line is left out
    QString indexFile;
    QStringList files; ///< every file below the folder, relative, depth first
};

/// The lines of the project file, without line ends.
QStringList helpProjectLines(const QString& helpFileName, const HelpProjectContent& content);

/// Writes "<projectName>.hhp" into `outputFolder`, describing the folder as it is now: its
/// contents file, default topic, index file and every file below it, the project file itself
/// included. GBK text with CR LF line ends; an existing file is replaced.
/// Paths are relative to the output folder: the help compiler here fails on absolute paths,
/// and the Windows compiler reads relative ones the same way.
platform::Status writeHelpProject(platform::FileSystem& fs, const QByteArray& helpFileName,
                                  const QByteArray& projectName, const platform::NativePath& outputFolder);

} // namespace korvane::helpdecompiler
