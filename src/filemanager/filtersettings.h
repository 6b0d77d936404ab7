#pragma once

#include "platform/filesystem.h"

#include <QString>
#include <QStringList>

namespace korvane::filemanager {

/// The items "添加更多过滤" appends for an answer of its input box: the trimmed answer split at
/// every ";", each part trimmed, empty parts and duplicates kept; no item for an empty answer.
QStringList newFilterItems(const QString& answer);

/// Writes "setting.txt" in the program's folder: one line, "filter=" and the value, CR LF, in
/// the locale's encoding, replacing any earlier file.
platform::Status writeFilterSetting(platform::FileSystem& fs, const QString& programFolder, const QString& value);

} // namespace korvane::filemanager
