#include "wordcrypt/rc4cipher.h"

#include "wordcrypt/compoundfile.h"
#include "wordcrypt/wordfib.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtEndian>
#include <array>

namespace korvane::wordcrypt {

using platform::ErrorKind;
using platform::Status;

namespace {

using fib::leAt;

constexpr qint64 kBlock = 512;
constexpr quint32 kRc4 = 0x6801;
constexpr quint32 kSha1 = 0x8004;
/// The header flags Word writes: fCryptoAPI, and fDocProps (the summary streams stay readable).
constexpr quint32 kHeaderFlags = 0x0C;
constexpr qint64 kRc4HeaderBytes = 52;

QByteArray le(quint32 v, int size = 4)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b.left(size);
}

QByteArray md5(const QByteArray& b)
{
    return QCryptographicHash::hash(b, QCryptographicHash::Md5);
}

QByteArray sha1(const QByteArray& b)
{
    return QCryptographicHash::hash(b, QCryptographicHash::Sha1);
}

QByteArray randomBytes(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; i += 4)
        qToLittleEndian(QRandomGenerator::system()->generate(), b.data() + i);
    return b;
}

class Rc4 {
public:
    explicit Rc4(const QByteArray& key)
    {
        for (int i = 0; i < 256; ++i)
            m_s[i] = quint8(i);
        for (int i = 0, j = 0; i < 256; ++i) {
            j = (j + m_s[i] + quint8(key[i % key.size()])) & 0xFF;
            std::swap(m_s[i], m_s[j]);
        }
    }
    void apply(char* data, qint64 size, qint64 skip = 0)
    {
        for (qint64 n = -skip; n < size; ++n) {
            m_i = quint8(m_i + 1);
            m_j = quint8(m_j + m_s[m_i]);
            std::swap(m_s[m_i], m_s[m_j]);
            if (n >= 0)
                data[n] = char(quint8(data[n]) ^ m_s[quint8(m_s[m_i] + m_s[m_j])]);
        }
    }

private:
    std::array<quint8, 256> m_s{};
    quint8 m_i = 0;
    quint8 m_j = 0;
};

} // namespace

QByteArray utf16le(const QString& text)
{
    QByteArray out;
    for (QChar c : text)
        out += le(c.unicode(), 2);
    return out;
}

QByteArray Rc4Cipher::blockKey(quint32 block) const
{
    if (!cryptoApi)
        return md5(base + le(block));
    QByteArray key = sha1(base + le(block)).left(keyBytes);
    if (keyBytes == 5)
        key += QByteArray(11, '\0'); // 40-bit keys are padded to 128 bits
    return key;
}

void Rc4Cipher::apply(char* data, qint64 size, qint64 offset) const
{
    for (qint64 done = 0; done < size;) {
        const qint64 at = offset + done;
        const qint64 n = qMin(kBlock - at % kBlock, size - done);
        Rc4(blockKey(quint32(at / kBlock))).apply(data + done, n, at % kBlock);
        done += n;
    }
}

platform::Result<Rc4Cipher> rc4CipherFor(const QByteArray& header, const QString& password)
{
    const quint32 major = leAt(header, 0, 2);
    const quint32 minor = leAt(header, 2, 2);
    Rc4Cipher c;
    QByteArray verifier;
    int hashBytes = 16;
    if (major == 1 && minor == 1) {
        if (header.size() < kRc4HeaderBytes)
            return formatError(QStringLiteral("encryption header cut short"));
        const QByteArray h0 = md5(utf16le(password)).left(5);
        QByteArray buffer;
        for (int i = 0; i < 16; ++i)
            buffer += h0 + header.mid(4, 16);
        c.base = md5(buffer).left(5);
        verifier = header.mid(20, 32);
    } else if (major >= 2 && major <= 4 && minor == 2) {
        const qint64 v = 12 + qint64(leAt(header, 8, 4));
        const quint32 alg = leAt(header, 20, 4);
        const quint32 hash = leAt(header, 24, 4);
        const quint32 bits = leAt(header, 28, 4) ? leAt(header, 28, 4) : 40;
        if (v < 44 || v + 60 > header.size())
            return formatError(QStringLiteral("encryption header cut short"));
        if ((alg != kRc4 && alg != 0) || (hash != kSha1 && hash != 0))
            return formatError(QStringLiteral("encryption other than RC4 with SHA-1"));
        if (bits % 8 || bits < 40 || bits > 128 || leAt(header, v, 4) != 16 || leAt(header, v + 36, 4) != 20)
            return formatError(QStringLiteral("unknown key or verifier size"));
        c.cryptoApi = true;
        c.keyBytes = int(bits / 8);
        c.base = sha1(header.mid(v + 4, 16) + utf16le(password));
        verifier = header.mid(v + 20, 16) + header.mid(v + 40, 20);
        hashBytes = 20;
    } else {
        return formatError(QStringLiteral("unknown encryption %1.%2").arg(major).arg(minor));
    }
    // The verifier and its hash are one run of block 0's key stream.
    Rc4(c.blockKey(0)).apply(verifier.data(), verifier.size());
    const QByteArray expected = c.cryptoApi ? sha1(verifier.left(16)) : md5(verifier.left(16));
    if (expected != verifier.mid(16, hashBytes))
        return Status::failure(ErrorKind::Cancelled, QStringLiteral("the open password does not match"));
    return c;
}

QByteArray newRc4CryptoApiHeader(const QString& password, Rc4Cipher* cipher)
{
    const QByteArray provider =
        utf16le(QStringLiteral("Microsoft Enhanced Cryptographic Provider v1.0")) + QByteArray(2, '\0');
    QByteArray h = le(4, 2) + le(2, 2) + le(kHeaderFlags) + le(quint32(32 + provider.size()));
    h += le(kHeaderFlags) + le(0) + le(kRc4) + le(kSha1) + le(128) + le(1) + le(0) + le(0) + provider;
    const QByteArray salt = randomBytes(16);
    cipher->cryptoApi = true;
    cipher->keyBytes = 16;
    cipher->base = sha1(salt + utf16le(password));
    const QByteArray verifier = randomBytes(16);
    QByteArray secret = verifier + sha1(verifier);
    Rc4(cipher->blockKey(0)).apply(secret.data(), secret.size());
    h += le(16) + salt + secret.left(16) + le(20) + secret.mid(16);
    return h;
}

} // namespace korvane::wordcrypt
