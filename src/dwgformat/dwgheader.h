#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace korvane::dwgformat {

class ByteSource;

/// The security flags of a drawing's file header (a 32-bit value at 0x18, R2004 and later).
enum DwgSecurityFlag : quint32 {
    EncryptData = 0x1,       ///< everything but the preview and the summary is encrypted
    EncryptProperties = 0x2, ///< the preview and the summary are encrypted too
    SignData = 0x10,         ///< a digital signature is attached
    AddTimeStamp = 0x20,     ///< the signature carries a time stamp
};

/// What the first bytes of a drawing say about its format and its protection.
struct DwgHeader {
    enum class Status { Unreadable, NotADrawing, Drawing };
    Status status = Status::Unreadable;
    /// The version string as stored ("AC1018", "AC2.10"); empty unless a drawing.
    QByteArray version;
    /// The security flags as read; always 0 for versions that have none.
    quint32 securityFlags = 0;
    /// The section map holds a security section or a section marked encrypted: encrypted data
    /// stands behind the flags. Looked for only when the flags ask for encryption.
    bool encryptedSections = false;

    bool ok() const { return status == Status::Drawing; }
    /// The release name ("R2004"), or "" for a version string not in the table.
    QString release() const;
    /// R2004 (AC1018) and later have the security flags; older drawings cannot carry a password.
    bool canCarryPassword() const;
    /// The flags ask for encryption (bit 0x1 or 0x2), whether or not the file bears them out.
    bool flagsClaimEncryption() const { return (securityFlags & (EncryptData | EncryptProperties)) != 0; }
    /// A password is needed to open the drawing: the flags say so and encrypted sections stand
    /// behind them. Damaged flags alone (fuzzed or broken files) are no password.
    bool hasPassword() const { return flagsClaimEncryption() && encryptedSections; }
    /// Flags that ask for encryption with nothing encrypted behind them.
    bool flagsDamaged() const { return flagsClaimEncryption() && !encryptedSections; }
    bool previewEncrypted() const { return hasPassword() && (securityFlags & EncryptProperties) != 0; }
    /// "R2004 (AC1018)", or the bare version string when its release is unknown.
    QString versionText() const;
    /// How the drawing is protected, in the user's words ("无密码", "有密码: 数据已加密",
    /// "安全标志异常(可能已损坏)", ...).
    QString protectionText() const;
};

/// Bytes of the file header that parseHeader() looks at: the version and the security flags.
constexpr qint64 kDwgHeaderBytes = 0x1C;

/// Reads the header from the first bytes of a drawing; `size` may be short of kDwgHeaderBytes
/// (a short R2004 file is not a drawing, an R13 file needs only its version).
DwgHeader parseHeader(const char* bytes, qint64 size);
/// Reads parseHeader()'s bytes through a byte source; when the flags ask for encryption, also
/// the section map that must bear them out (`encryptedSections`).
DwgHeader readHeader(const ByteSource& source);
/// The same for a file (a regular file only, never blocking on a FIFO).
DwgHeader readHeader(const QByteArray& nativePath);

/// One listed drawing for passwordReport(): the name shown and its header.
struct NamedHeader {
    QString name;
    DwgHeader header;
};

/// The lines that tell which of `drawings` carry a password and which do not, with their
/// versions, for the details of a message box: a block of drawings with a password, one of
/// drawings without, and one of files that could not be read as drawings; empty blocks left out.
QString passwordReport(const QList<NamedHeader>& drawings);

/// passwordReport() for listed files: anything with `text` (the name shown) and `path` (the file
/// in the kernel's bytes), such as the batch list's entries. Reads the first bytes of each.
template <typename Entries> QString passwordReportFor(const Entries& entries)
{
    QList<NamedHeader> drawings;
    for (const auto& entry : entries)
        drawings.append({entry.text, readHeader(entry.path)});
    return passwordReport(drawings);
}

} // namespace korvane::dwgformat
