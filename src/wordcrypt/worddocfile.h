#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QString>

namespace korvane::wordcrypt {

/// The first eight bytes of every compound (OLE2) file, which a Word 97 document is.
bool hasCompoundSignature(const QByteArray& head);

/// What the File Information Block of a Word 97 document says about its protection.
struct WordFileState {
    bool encrypted = false;     ///< needs a password to open
    bool obfuscated = false;    ///< XOR obfuscation instead of RC4
    bool writeReserved = false; ///< carries a password to modify
    bool readOnlyRecommended = false;
    bool word95 = false; ///< a Word 6/95 document: only the office reads it (and writes Word 97)
};

// Every reader below goes through the compound-file library and reads only the stream parts it
// needs, so the size of the file does not decide the memory used. Every offset is checked.

/// Reads the WordDocument stream's FIB. A failure, in the reader's words, when the bytes are
/// not a well-formed Word 97 document.
platform::Result<WordFileState> inspectWordFile(const QByteArray& file);
platform::Result<WordFileState> inspectWordPath(const QByteArray& path);
/// The same for a document to be read: a Word 6/95 one too (`word95`).
platform::Result<WordFileState> inspectDocumentPath(const QByteArray& path);

/// True when the RC4 encryption header of the document accepts `password` (MD5 + RC4, as Word 97
/// checks it on opening). False for a document that is not RC4-encrypted.
bool rc4PasswordMatches(const QByteArray& file, const QString& password);
bool rc4PasswordMatchesPath(const QByteArray& path, const QString& password);

/// The longest password the format stores, for opening and for modifying alike.
constexpr int kMaxPasswordLength = 15;
/// The reason a password longer than that is refused, wherever it is refused.
QString passwordTooLongText();
inline bool passwordFits(const QString& password)
{
    return password.size() <= kMaxPasswordLength;
}

/// Documents above this size are refused before anything is read: the format's practical
/// limit, and far beyond any real Word 97 document.
constexpr qint64 kMaxDocumentBytes = 512ll * 1024 * 1024;

/// The write reservation as stored: flag and the password entry of the associated strings.
struct WriteReservation {
    bool flag = false;
    QString password;     ///< entry 0x11 of SttbfAssoc; empty when absent
    bool damaged = false; ///< the strings could not be read: `password` is unknown, left empty
};

/// Reads the write reservation of `path`. `openPassword` decrypts an RC4-encrypted document.
/// A failure when the document cannot be read; damaged strings only mark the answer `damaged`,
/// so that they stop only a run that must write them.
platform::Result<WriteReservation> readWriteReservation(const QByteArray& path, const QString& openPassword);

/// Copies the compound file `source` to `target` with the write reservation set to
/// `writePassword` ("" clears flag and entry), every other stream and the root class id carried
/// over byte for byte. The strings are rewritten in place when they fit, else at the end of the
/// table stream; a removal returns to an earlier copy of the strings still in the stream, and
/// strings left all empty go with their FIB pair, so setting and removing the password gives
/// back the original streams. An RC4-encrypted source is decrypted and re-encrypted with `openPassword`,
/// which must match. A failure on any doubt; `target` may then hold partial output.
/// What a copy does with associated strings it cannot read: refuse, or (only for a file that
/// is ours, such as the office's export of a Word 6/95 document) write new ones in their place.
enum class DamagedStrings { Refuse, Replace };
platform::Status writeWriteReservation(const QByteArray& source, const QByteArray& target, const QString& openPassword,
                                       const QString& writePassword, DamagedStrings damaged = DamagedStrings::Refuse);

/// Checks that `result` is `source` with only the write reservation changed: the same streams
/// and class ids, every other stream byte-identical, the document stream and the table stream
/// unchanged apart from the reservation's own bytes, and the reservation reading back as
/// `writePassword`. Success when it is; otherwise a failure that says what differs.
platform::Status compareAfterReservation(const QByteArray& source, const QByteArray& result,
                                         const QString& openPassword, const QString& writePassword,
                                         DamagedStrings damaged = DamagedStrings::Refuse);

} // namespace korvane::wordcrypt
