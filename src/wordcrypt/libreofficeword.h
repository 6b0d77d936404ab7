#pragma once

#include "platform/filesystem.h"
#include "platform/wordprocessor.h"

#include <QString>
#include <QStringList>
#include <memory>

namespace korvane::wordcrypt {

/// The word processor on Linux: LibreOffice Writer, driven by our own `korvane-unohelper`
/// program. One headless office with a private profile serves one application object; when the
/// office dies it is started again for the next document.
///
/// The office loads each document read-only and exports it as Word 97 into a private folder
/// beside it; Korvane then writes the modify password into that copy itself, checks the result
/// and only then writes it into the document (same inode, so owner, group, mode and hard links
/// stay). A backup of the original is kept beside it until the written file has been checked.
///
/// Not bound to a thread: one run may use it from a worker thread, as long as all calls of the
/// run come from that one thread.
class LibreOfficeWord final : public platform::WordAutomation {
public:
    struct Options {
        QString helperProgram; ///< path of korvane-unohelper
        QString officeProgram; ///< soffice; empty: looked for with findOffice()
        int startLimitMs = 90000;
        int callLimitMs = 60000;
        /// What documents, lock files and the office's exports are looked at through; null: the
        /// local file system. The in-place write and the byte comparison stay POSIX (below).
        platform::FileSystem* fileSystem = nullptr;
    };

    LibreOfficeWord(Options options, platform::DocumentPasswordPrompt& prompt);
    ~LibreOfficeWord() override;

    /// Nothing runs on Linux that could be bound by name: this always fails.
    platform::Result<std::shared_ptr<platform::WordApplication>> getObject(const QString& pathName) override;
    /// Starts the helper and the office.
    platform::Result<std::shared_ptr<platform::WordApplication>> createObject(const QString& className) override;
    void setRunControl(platform::RunControl* control) override;

    /// The helper beside the program, when it was built.
    static QString defaultHelper(const QString& programFolder);
    /// The office program: `soffice` or `libreoffice` on PATH first, then the usual install
    /// folders. Empty when there is none.
    static QString findOffice();
    /// Where findOffice() looks, in order, for messages.
    static QStringList officeSearchPlaces();

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

/// The description shown when the word processor cannot be obtained because LibreOffice is missing.
QString libreOfficeMissingText();

/// The Chinese reason for a failure the helper reports (`code` and the office's own text),
/// the office's text kept as a bracketed detail.
QString describeOfficeFailure(const QString& code, const QString& text);

} // namespace korvane::wordcrypt
