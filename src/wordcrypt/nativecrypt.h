#pragma once

// The open password of Word 97-2003 documents, set and removed in the document's own streams:
// `WordDocument` after its first 68 bytes, the table stream and `Data` are RC4-encrypted, the
// key changing every 512 bytes of stream, with an encryption header at the start of the table
// stream whose size `lKey` gives. Every other stream and storage is copied unchanged.

#include "platform/status.h"

#include <QByteArray>
#include <QString>

namespace korvane::wordcrypt {

/// Whether this code can set and remove the open password of `path` itself: a Word 97-2003
/// document that is not encrypted, or encrypted with RC4 (MD5) or RC4 CryptoAPI (SHA-1). Word
/// 6/95 documents, XOR obfuscation and other encryption are not. A file that is no Word
/// document at all counts as served: it is refused without an office either way.
bool nativelyServed(const QByteArray& path);

/// Whether `password` opens the encrypted document `path`. A failure with kind `Cancelled` for a
/// password it refuses, `Failed` for a file that cannot be read natively.
platform::Status checkOpenPassword(const QByteArray& path, const QString& password);

/// Writes `source` (decrypted with `sourcePassword` when encrypted) to the new file `target`:
/// encrypted with RC4 CryptoAPI (128-bit key, SHA-1, a fresh random salt) when `targetPassword`
/// is not empty, else plain. The encryption header goes before the table, and every offset of
/// the FIB into the table moves with it. The other streams and all class ids stay as they are.
platform::Status transcodeDocument(const QByteArray& source, const QString& sourcePassword, const QByteArray& target,
                                   const QString& targetPassword);

/// Checks that the two documents hold the same plain streams: the document, table and data
/// streams as they read decrypted, every other stream byte for byte, the same class ids, and
/// `b` encrypted exactly when `bPassword` is not empty.
platform::Status comparePlainDocuments(const QByteArray& a, const QString& aPassword, const QByteArray& b,
                                       const QString& bPassword);

} // namespace korvane::wordcrypt
