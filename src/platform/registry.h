#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace korvane::platform {

enum class RegistryRoot { LocalMachine, CurrentUser };

struct RegistryValue {
    quint32 type = 0; ///< 1 REG_SZ, 4 REG_DWORD, ...
    QByteArray data;  ///< raw bytes as stored, at most 1024
};

/// System registry. Linux has none: the real one answers "not found" for every value.
class Registry {
public:
    virtual ~Registry() = default;
    virtual std::optional<RegistryValue> query(RegistryRoot root, const QString& keyPath, const QString& valueName) = 0;
};

/// Turns a raw value into text the way the About box reads registry values.
/// A final zero byte is dropped; REG_SZ becomes the text; REG_DWORD appends each byte from
/// the last to the first in upper-case hex without leading zero to `text` and puts "&h" in
/// front; any other type leaves `text` as it was.
void decodeRegistryValue(const RegistryValue& value, QString& text);

} // namespace korvane::platform
