#pragma once

#include "platform/filesystem.h"
#include "platform/wordprocessor.h"

#include <memory>

namespace korvane::wordcrypt {

/// The word processor for Word 97-2003 documents without an office: the open password is set
/// and removed in the document's own streams (nativecrypt.h), the modify password by the
/// write-reservation writer on the plain streams. Every result is read back before it replaces
/// the document, with the same locks, replacement and recovery as the LibreOffice backend.
///
/// Not bound to a thread: one run may use it from a worker thread, as long as all calls of the
/// run come from that one thread.
class NativeWord final : public platform::WordAutomation {
public:
    /// `fileSystem`: what documents and lock files are looked at through; null: the local one.
    NativeWord(platform::DocumentPasswordPrompt& prompt, platform::FileSystem* fileSystem = nullptr);
    ~NativeWord() override;

    /// Nothing runs that could be bound by name: this always fails.
    platform::Result<std::shared_ptr<platform::WordApplication>> getObject(const QString& pathName) override;
    /// Always succeeds: nothing is started.
    platform::Result<std::shared_ptr<platform::WordApplication>> createObject(const QString& className) override;
    void setRunControl(platform::RunControl* control) override;
    bool exportsThroughOffice(const QByteArray& document) const override
    {
        Q_UNUSED(document);
        return false;
    }

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

} // namespace korvane::wordcrypt
