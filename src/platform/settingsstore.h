#pragma once

#include <QString>

namespace korvane::platform {

/// Per-user text values, addressed by section and key, kept between runs.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual QString value(const QString& section, const QString& key, const QString& defaultValue) = 0;
    /// Written through at once.
    virtual void setValue(const QString& section, const QString& key, const QString& value) = 0;
};

} // namespace korvane::platform
