#pragma once

#include "platform/services.h"

namespace korvane::helpwindows {

/// Reads one value as text, the way the About box reads the registry. Returns false (and
/// empties `text`) when the value is missing.
bool GetKeyValue(platform::Registry& registry, platform::RegistryRoot root, const QString& keyPath,
                 const QString& valueName, QString& text);

/// Finds and starts the system information program through the registry. Returns false when
/// it is not available or could not be started; the caller then says so.
bool startSysInfo(platform::Registry& registry, platform::FileSystem& fs, platform::ProgramStarter& programs);

} // namespace korvane::helpwindows
