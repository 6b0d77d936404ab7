#pragma once

#include "platform/wordprocessor.h"
#include "wordcrypt/documentrun.h"

namespace korvane::wordcrypt {

/// Asks for a document's current password in a small dialog showing its file name; during a
/// batch it offers, in a check box, to use the password for the remaining documents.
class QtDocumentPasswordPrompt final : public BatchPasswordPrompt {
public:
    std::optional<QString> askPassword(const QString& fileName) override;
    std::optional<PasswordAnswer> askForRun(const QString& fileName, bool again) override;

    /// The check box's caption.
    static QString forRemainingText();
};

/// The prompt the program's word processor (productionWord()) asks through.
RunPasswordPrompt& productionPrompt();

} // namespace korvane::wordcrypt
