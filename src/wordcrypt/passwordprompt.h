#pragma once

#include "platform/wordprocessor.h"

namespace korvane::wordcrypt {

/// Asks for a document's current password in a small dialog showing its file name.
class QtDocumentPasswordPrompt final : public platform::DocumentPasswordPrompt {
public:
    std::optional<QString> askPassword(const QString& fileName) override;
};

/// The program's word processor: LibreOffice through korvane-unohelper in `helperFolder`.
platform::WordAutomation& productionWord(const QString& helperFolder);

} // namespace korvane::wordcrypt
