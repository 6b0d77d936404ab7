#include "wordcrypt/nativecrypt.h"

#include "wordcrypt/compoundfile.h"
#include "wordcrypt/worddocfile.h"
#include "wordcrypt/wordfib.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtEndian>
#include <array>
#include <map>
#include <optional>

namespace korvane::wordcrypt {

using platform::ErrorKind;
using platform::Status;

namespace {

using namespace fib;

/// The FIB version Word 97 and every later version write into FibBase.
constexpr quint16 kWord97Fib = 0x00C1;
constexpr qint64 kBlock = 512;
/// Word 97's own count of FibRgFcLcb pairs; a FIB with fewer is no Word 97 FIB.
constexpr int kWord97Pairs = 0x5D;
/// Pair 87 of FibRgFcLcb97 is ftModified, a time stamp, not an offset into the table.
constexpr int kModifiedTimePair = 87;
constexpr quint32 kRc4 = 0x6801;
constexpr quint32 kSha1 = 0x8004;
/// The header flags Word writes: fCryptoAPI, and fDocProps (the summary streams stay readable).
constexpr quint32 kHeaderFlags = 0x0C;
constexpr qint64 kRc4HeaderBytes = 52;

void put32(QByteArray& b, qsizetype at, quint32 v)
{
    qToLittleEndian(v, b.data() + at);
}

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

QByteArray utf16le(const QString& text)
{
    QByteArray out;
    for (QChar c : text)
        out += le(c.unicode(), 2);
    return out;
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

/// The key of one document: RC4 with MD5 (Office 97/2000) or RC4 CryptoAPI with SHA-1.
struct Cipher {
    bool cryptoApi = false;
    QByteArray base; ///< MD5: the 5-byte password and salt hash; CryptoAPI: SHA-1 of salt and password
    int keyBytes = 16;

    QByteArray blockKey(quint32 block) const
    {
        if (!cryptoApi)
            return md5(base + le(block));
        QByteArray key = sha1(base + le(block)).left(keyBytes);
        if (keyBytes == 5)
            key += QByteArray(11, '\0'); // 40-bit keys are padded to 128 bits
        return key;
    }

    /// XORs `size` bytes that sit at `offset` of their stream with the key stream there: the key
    /// changes every 512 bytes, so any part of a stream can be done on its own, both ways.
    void apply(char* data, qint64 size, qint64 offset) const
    {
        for (qint64 done = 0; done < size;) {
            const qint64 at = offset + done;
            const qint64 n = qMin(kBlock - at % kBlock, size - done);
            Rc4(blockKey(quint32(at / kBlock))).apply(data + done, n, at % kBlock);
            done += n;
        }
    }
};

/// The cipher of an encryption header that accepts `password`: `Failed` for a header this code
/// does not know, `Cancelled` for a password it refuses.
platform::Result<Cipher> cipherFor(const QByteArray& header, const QString& password)
{
    const quint32 major = leAt(header, 0, 2);
    const quint32 minor = leAt(header, 2, 2);
    Cipher c;
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

/// A new RC4 CryptoAPI header for `password`, as Word writes it, and its cipher.
QByteArray newHeader(const QString& password, Cipher* cipher)
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

enum Which { Word, Table, Data, kStreams };

/// A Word 97 document opened with its key, read as its plain form: decrypted, the header before
/// the table gone, the FIB with the flags cleared, `lKey` 0 and the table offsets moved back.
struct PlainDocument {
    std::unique_ptr<Compound> cf;
    std::array<GPtr<GsfInput>, kStreams> streams;
    QByteArray tableName;
    std::optional<Cipher> cipher;
    qint64 shift = 0; ///< the encryption header's size: where the plain table starts
    QByteArray fib;   ///< the plain FIB up to the end of its table offsets
    qint64 pairsAt = 0;
    int pairs = 0;

    qint64 size(Which w) const { return streams[w] ? gsf_input_size(streams[w].get()) - (w == Table ? shift : 0) : 0; }

    std::optional<QByteArray> at(Which w, qint64 offset, qint64 n) const
    {
        const qint64 from = offset + (w == Table ? shift : 0);
        std::optional<QByteArray> b = readAt(streams[w].get(), from, n);
        if (!b)
            return b;
        if (cipher)
            cipher->apply(b->data(), n, from);
        if (w == Word) {
            for (qint64 i = offset; i < qMin<qint64>(offset + n, fib.size()); ++i)
                (*b)[i - offset] = fib[i];
        }
        return b;
    }
};

platform::Result<PlainDocument> openPlain(const QByteArray& path, const QString& password)
{
    platform::Result<std::unique_ptr<Compound>> cf = Compound::fromPath(path);
    if (!cf)
        return cf.status();
    PlainDocument d;
    d.cf = std::move(*cf);
    d.streams[Word] = d.cf->stream("WordDocument");
    const std::optional<QByteArray> head = d.streams[Word] ? readAt(d.streams[Word].get(), 0, 0x22) : std::nullopt;
    if (!head || leAt(*head, 0, 2) != kFibMagic)
        return formatError(QStringLiteral("no Word 97 document stream"));
    if (leAt(*head, 2, 2) < kWord97Fib)
        return formatError(QStringLiteral("a Word 6/95 document"));
    quint16 flags = quint16(leAt(*head, kFlagsAt, 2));
    if ((flags & fEncrypted) && (flags & fObfuscated))
        return formatError(QStringLiteral("XOR obfuscation"));
    d.tableName = (flags & fWhichTblStm) ? "1Table" : "0Table";
    d.streams[Table] = d.cf->stream(d.tableName.constData());
    d.streams[Data] = d.cf->stream("Data");
    if (!d.streams[Table])
        return formatError(QStringLiteral("no table stream"));
    const qint64 tableSize = gsf_input_size(d.streams[Table].get());
    if (flags & fEncrypted) {
        const qint64 lKey = leAt(*head, kLKeyAt, 4);
        const std::optional<QByteArray> header =
            lKey <= tableSize ? readAt(d.streams[Table].get(), 0, lKey) : std::nullopt;
        if (!header)
            return formatError(QStringLiteral("encryption header outside the table"));
        platform::Result<Cipher> cipher = cipherFor(*header, password);
        if (!cipher)
            return cipher.status();
        d.cipher = *cipher;
        d.shift = lKey;
    }
    // Walk the FIB's own counts to the table offsets; past byte 68 it is encrypted.
    const auto plain = [&](qint64 at, qint64 n) -> std::optional<QByteArray> {
        std::optional<QByteArray> b = readAt(d.streams[Word].get(), at, n);
        if (b && d.cipher) {
            const QByteArray raw = *b;
            d.cipher->apply(b->data(), n, at);
            for (qint64 i = at; i < qMin(at + n, kPlainFibBytes); ++i)
                (*b)[i - at] = raw[i - at];
        }
        return b;
    };
    qint64 at = 0x20;
    const std::optional<QByteArray> csw = plain(at, 2);
    at += 2 + 2 * qint64(csw ? leAt(*csw, 0, 2) : 0);
    const std::optional<QByteArray> cslw = plain(at, 2);
    at += 2 + 4 * qint64(cslw ? leAt(*cslw, 0, 2) : 0);
    const std::optional<QByteArray> count = plain(at, 2);
    d.pairsAt = at + 2;
    d.pairs = count ? int(leAt(*count, 0, 2)) : 0;
    std::optional<QByteArray> fib =
        csw && cslw && d.pairs >= kWord97Pairs ? plain(0, d.pairsAt + 8 * d.pairs) : std::nullopt;
    if (!fib)
        return formatError(QStringLiteral("FIB too short"));
    if (d.cipher) {
        flags &= ~(fEncrypted | fObfuscated);
        (*fib)[kFlagsAt] = char(flags & 0xFF);
        (*fib)[kFlagsAt + 1] = char(flags >> 8);
        put32(*fib, kLKeyAt, 0);
        for (int i = 0; i < d.pairs; ++i) {
            const qint64 p = d.pairsAt + 8 * i;
            const quint32 fc = leAt(*fib, p, 4);
            if (i == kModifiedTimePair)
                continue;
            if (fc >= d.shift && fc <= tableSize)
                put32(*fib, p, quint32(fc - d.shift));
            else if (fc < d.shift && leAt(*fib, p + 4, 4) != 0)
                return formatError(QStringLiteral("table offset inside the encryption header"));
        }
    }
    d.fib = std::move(*fib);
    return d;
}

} // namespace

bool nativelyServed(const QByteArray& path)
{
    const platform::Result<std::unique_ptr<Compound>> cf = Compound::fromPath(path);
    const GPtr<GsfInput> word = cf ? (*cf)->stream("WordDocument") : nullptr;
    const std::optional<QByteArray> head = word ? readAt(word.get(), 0, 0x22) : std::nullopt;
    if (!head || leAt(*head, 0, 2) != kFibMagic)
        return true; // no Word document: refused here as anywhere
    const quint16 flags = quint16(leAt(*head, kFlagsAt, 2));
    if (leAt(*head, 2, 2) < kWord97Fib || ((flags & fEncrypted) && (flags & fObfuscated)))
        return false;
    if (!(flags & fEncrypted))
        return true;
    const GPtr<GsfInput> table = (*cf)->stream((flags & fWhichTblStm) ? "1Table" : "0Table");
    const std::optional<QByteArray> header =
        table ? readAt(table.get(), 0, qMin<qint64>(leAt(*head, kLKeyAt, 4), gsf_input_size(table.get())))
              : std::nullopt;
    // A known encryption either opens with the empty password or refuses it as wrong.
    const platform::Result<Cipher> cipher =
        header ? cipherFor(*header, QString()) : platform::Result<Cipher>(formatError(QString()));
    return cipher || cipher.status().kind() == ErrorKind::Cancelled;
}

Status checkOpenPassword(const QByteArray& path, const QString& password)
{
    const platform::Result<PlainDocument> d = openPlain(path, password);
    return d ? Status{} : d.status();
}

Status transcodeDocument(const QByteArray& source, const QString& sourcePassword, const QByteArray& target,
                         const QString& targetPassword)
{
    if (targetPassword.size() > kMaxPasswordLength)
        return formatError(QStringLiteral("password longer than 15 characters"));
    platform::Result<PlainDocument> opened = openPlain(source, sourcePassword);
    if (!opened)
        return opened.status();
    const PlainDocument& d = *opened;
    std::optional<Cipher> cipher;
    QByteArray header;
    QByteArray fib = d.fib;
    if (!targetPassword.isEmpty()) {
        Cipher c;
        header = newHeader(targetPassword, &c);
        cipher = c;
        const qint64 tableSize = d.size(Table);
        const quint16 flags = quint16((leAt(fib, kFlagsAt, 2) | fEncrypted) & ~fObfuscated);
        fib[kFlagsAt] = char(flags & 0xFF);
        fib[kFlagsAt + 1] = char(flags >> 8);
        put32(fib, kLKeyAt, quint32(header.size()));
        // Word's layout: the table moves up behind the header. Unused pairs (0, 0) stay; an
        // offset just past the table would read as moved on the way back, so it is refused.
        for (int i = 0; i < d.pairs; ++i) {
            const qint64 p = d.pairsAt + 8 * i;
            const quint32 fc = leAt(fib, p, 4);
            if (i == kModifiedTimePair || (fc == 0 && leAt(fib, p + 4, 4) == 0) || fc > tableSize + header.size())
                continue;
            if (fc > tableSize)
                return formatError(QStringLiteral("table offset past the table"));
            put32(fib, p, quint32(fc + header.size()));
        }
    }
    const qint64 shift = header.size();

    std::map<QByteArray, StreamEdit> edits;
    StreamEdit& word = edits["WordDocument"];
    word.size = d.size(Word);
    word.produce = [&](qint64 at, qint64 n) {
        std::optional<QByteArray> b = d.at(Word, at, n);
        for (qint64 i = at; b && i < qMin<qint64>(at + n, fib.size()); ++i)
            (*b)[i - at] = fib[i];
        if (b && cipher) {
            cipher->apply(b->data(), n, at);
            for (qint64 i = at; i < qMin(at + n, kPlainFibBytes); ++i)
                (*b)[i - at] = fib[i]; // the start of the FIB stays readable
        }
        return b;
    };
    StreamEdit& table = edits[d.tableName];
    table.size = shift + d.size(Table);
    table.produce = [&](qint64 at, qint64 n) -> std::optional<QByteArray> {
        QByteArray out = at < shift ? header.mid(at, qMin(n, shift - at)) : QByteArray();
        const qint64 from = at + out.size();
        if (out.size() < n) {
            std::optional<QByteArray> b = d.at(Table, from - shift, n - out.size());
            if (!b)
                return b;
            if (cipher)
                cipher->apply(b->data(), b->size(), from);
            out += *b;
        }
        return out;
    };
    if (d.streams[Data]) {
        StreamEdit& data = edits["Data"];
        data.size = d.size(Data);
        data.produce = [&](qint64 at, qint64 n) {
            std::optional<QByteArray> b = d.at(Data, at, n);
            if (b && cipher)
                cipher->apply(b->data(), n, at);
            return b;
        };
    }
    return writeCompound(d.cf->root(), target, edits);
}

Status comparePlainDocuments(const QByteArray& a, const QString& aPassword, const QByteArray& b,
                             const QString& bPassword)
{
    const platform::Result<PlainDocument> da = openPlain(a, aPassword);
    if (!da)
        return da.status();
    const platform::Result<PlainDocument> db = openPlain(b, bPassword);
    if (!db)
        return db.status();
    if (db->cipher.has_value() != !bPassword.isEmpty())
        return formatError(QStringLiteral("not encrypted as asked"));
    if (da->tableName != db->tableName)
        return formatError(QStringLiteral("table streams differ"));
    constexpr qint64 kChunk = 1 << 16;
    for (const Which w : {Word, Table, Data}) {
        if (bool(da->streams[w]) != bool(db->streams[w]) || da->size(w) != db->size(w))
            return formatError(QStringLiteral("stream sizes differ"));
        for (qint64 at = 0; at < da->size(w); at += kChunk) {
            const qint64 n = qMin(kChunk, da->size(w) - at);
            const std::optional<QByteArray> x = da->at(w, at, n);
            if (!x || x != db->at(w, at, n))
                return formatError(QStringLiteral("plain stream %1 differs at %2").arg(int(w)).arg(at));
        }
    }
    std::map<QByteArray, GPtr<GsfInput>> sa, sb;
    std::map<QByteArray, QByteArray> ca, cb;
    listStreams(da->cf->root(), {}, &sa, &ca);
    listStreams(db->cf->root(), {}, &sb, &cb);
    if (ca != cb)
        return formatError(QStringLiteral("class ids differ"));
    if (sa.size() != sb.size())
        return formatError(QStringLiteral("stream lists differ"));
    for (const auto& [name, input] : sa) {
        const auto other = sb.find(name);
        if (other == sb.end())
            return formatError(QStringLiteral("stream %1 missing").arg(QString::fromUtf8(name)));
        if (name == "/WordDocument" || name == "/" + da->tableName || name == "/Data")
            continue;
        const qint64 size = gsf_input_size(input.get());
        if (size != gsf_input_size(other->second.get()) || !sameBytes(input.get(), other->second.get(), size, {}))
            return formatError(QStringLiteral("stream %1 differs").arg(QString::fromUtf8(name)));
    }
    return {};
}

} // namespace korvane::wordcrypt
