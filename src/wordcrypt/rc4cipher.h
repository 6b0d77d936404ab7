#pragma once

// The RC4 encryption of Word 97-2003 documents, read and written by both Word file units.

#include "platform/status.h"

#include <QByteArray>
#include <QString>

namespace korvane::wordcrypt {

/// The key of one document: RC4 with MD5 (Office 97/2000) or RC4 CryptoAPI with SHA-1.
struct Rc4Cipher {
    bool cryptoApi = false;
    QByteArray base; ///< MD5: the 5-byte password and salt hash; CryptoAPI: SHA-1 of salt and password
    int keyBytes = 16;

    /// The RC4 key of one 512-byte block of a stream.
    QByteArray blockKey(quint32 block) const;
    /// XORs `size` bytes that sit at `offset` of their stream with the key stream there: the key
    /// changes every 512 bytes, so any part of a stream can be done on its own, both ways.
    void apply(char* data, qint64 size, qint64 offset) const;
    void apply(QByteArray& data, qint64 offset) const { apply(data.data(), data.size(), offset); }
};

/// The cipher of an encryption header (the start of the table stream, `lKey` bytes) that accepts
/// `password`: `Failed` for a header this code does not know, `Cancelled` for a password it refuses.
platform::Result<Rc4Cipher> rc4CipherFor(const QByteArray& header, const QString& password);

/// A new RC4 CryptoAPI header for `password`, as Word writes it (fresh salt), and its cipher.
QByteArray newRc4CryptoApiHeader(const QString& password, Rc4Cipher* cipher);

/// The password's bytes as Word hashes them, and its strings are stored.
QByteArray utf16le(const QString& text);

} // namespace korvane::wordcrypt
