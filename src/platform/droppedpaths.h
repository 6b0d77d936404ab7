#pragma once

#include "platform/filesystem.h"

#include <QList>

class QMimeData;

namespace korvane::platform {

/// The local files and folders a drag carries, as the kernel's bytes, in the order given;
/// empty when it carries anything else too (a web address, text). Read from the "text/uri-list"
/// the file managers send, percent-decoded byte by byte, so a name that is not UTF-8 arrives
/// as it is on disk; a drag without that list falls back to its URLs.
QList<NativePath> droppedPaths(const QMimeData& data);

} // namespace korvane::platform
