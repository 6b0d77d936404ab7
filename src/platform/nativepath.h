#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace korvane::platform {

/// The text a user sees for a raw path: each component decoded as UTF-8 when valid, else as GB18030.
QString displayPath(const QByteArray& nativePath);
/// The raw path for text the user typed (UTF-8).
QByteArray nativePath(const QString& text);

/// Encodes text in a named iconv encoding ("GBK", "GB18030"); nullopt when a character has no form there.
std::optional<QByteArray> encodeText(const QString& text, const char* encoding);
/// Decodes bytes from a named iconv encoding; nullopt when they are not valid in it.
std::optional<QString> decodeText(const QByteArray& bytes, const char* encoding);
/// True when the bytes are valid UTF-8.
bool isValidUtf8(const QByteArray& bytes);

} // namespace korvane::platform
