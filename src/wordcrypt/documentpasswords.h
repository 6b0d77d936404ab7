#pragma once

#include "platform/wordprocessor.h"

#include <QStringList>

namespace korvane::wordcrypt {

/// What the encryptor does with each document the office opens for it: sets the open and the
/// modify password ("" removes one), saves only when the open password was taken, and closes
/// it. Returns the information lines of what failed, each indented by two spaces; none when
/// all went well.
QStringList applyPasswords(platform::WordDocument& document, const QString& password, const QString& writePassword);

} // namespace korvane::wordcrypt
