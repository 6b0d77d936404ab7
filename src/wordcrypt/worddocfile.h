#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace korvane::wordcrypt {

/// The first eight bytes of every compound (OLE2) file, which a Word 97 document is.
bool hasCompoundSignature(const QByteArray& head);

/// What the File Information Block of a Word 97 document says about its protection.
struct WordFileState {
    bool encrypted = false;     ///< needs a password to open
    bool obfuscated = false;    ///< XOR obfuscation instead of RC4
    bool writeReserved = false; ///< carries a password to modify
    bool readOnlyRecommended = false;
};

/// Reads the WordDocument stream's FIB from a whole compound file. nullopt (and `error`) when
/// the bytes are not a well-formed Word 97 document. Every offset is checked against the data.
std::optional<WordFileState> inspectWordFile(const QByteArray& file, QString* error = nullptr);

/// True when the RC4 encryption header of the document accepts `password` (MD5 + RC4, as Word 97
/// checks it on opening). False for a document that is not RC4-encrypted.
bool rc4PasswordMatches(const QByteArray& file, const QString& password);

} // namespace korvane::wordcrypt
