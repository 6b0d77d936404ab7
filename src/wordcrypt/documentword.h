#pragma once

#include "platform/filesystem.h"
#include "platform/wordprocessor.h"
#include "wordcrypt/libreofficeword.h"

#include <memory>

// The choice of backend for each document: the native one for what it serves, LibreOffice for
// the rest. Neither backend knows of the other; only this unit knows both.

namespace korvane::wordcrypt {

class NativeWord;

/// Whether `document` goes through LibreOffice: Word 6/95 documents, XOR obfuscation and
/// encryption other than RC4 or RC4 CryptoAPI. Reads only the start of the file.
bool needsOffice(const platform::NativePath& document);

/// The program's word processor: the native backend for every document it serves, LibreOffice
/// (started at the first document that needs it, not before) for the rest.
class DocumentWord final : public platform::WordAutomation {
public:
    DocumentWord(LibreOfficeWord::Options options, platform::DocumentPasswordPrompt& prompt);
    ~DocumentWord() override;

    platform::Result<std::shared_ptr<platform::WordApplication>> getObject(const QString& pathName) override;
    platform::Result<std::shared_ptr<platform::WordApplication>> createObject(const QString& className) override;
    void setRunControl(platform::RunControl* control) override;
    bool exportsThroughOffice(const QByteArray& document) const override { return needsOffice(document); }

private:
    std::shared_ptr<NativeWord> m_native;
    std::shared_ptr<LibreOfficeWord> m_office;
};

/// The program's word processor, made at the first call: the helper in `helperFolder`, asking
/// documents' passwords through `prompt` (which must outlive the program's windows).
platform::WordAutomation& productionWord(const QString& helperFolder, platform::DocumentPasswordPrompt& prompt);

} // namespace korvane::wordcrypt
