#pragma once

#include "platform/wordprocessor.h"

#include <QString>
#include <memory>

namespace korvane::wordcrypt {

/// The word processor on Linux: LibreOffice Writer, driven by our own `korvane-unohelper`
/// program. One headless office with a private profile serves one application object.
///
/// Documents are stored in place as Word 97 files. Before a document is replaced it must be a
/// Word 97 compound file that the office loaded with its "MS Word 97" filter and may write; a
/// backup is kept until the stored file has been checked to carry the password asked for.
class LibreOfficeWord final : public platform::WordAutomation {
public:
    struct Options {
        QString helperProgram; ///< path of korvane-unohelper
        QString officeProgram; ///< soffice; empty: the helper's default
        int startLimitMs = 90000;
        int callLimitMs = 60000;
    };

    LibreOfficeWord(Options options, platform::DocumentPasswordPrompt& prompt);

    /// Nothing runs on Linux that could be bound by name: this always fails.
    std::shared_ptr<platform::WordApplication> getObject(const QString& pathName, QString* error) override;
    /// Starts the helper and the office.
    std::shared_ptr<platform::WordApplication> createObject(const QString& className,
                                                            QString* error) override;

    /// The helper beside the program, when it was built.
    static QString defaultHelper(const QString& programFolder);

private:
    Options m_options;
    platform::DocumentPasswordPrompt& m_prompt;
};

/// The description shown when the word processor cannot be obtained because LibreOffice is missing.
QString libreOfficeMissingText();

} // namespace korvane::wordcrypt
