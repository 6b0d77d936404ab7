#include "wordcrypt/nativecrypt.h"

#include "wordcrypt/compoundfile.h"
#include "wordcrypt/rc4cipher.h"
#include "wordcrypt/worddocfile.h"
#include "wordcrypt/wordfib.h"

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
/// Word 97's own count of FibRgFcLcb pairs; a FIB with fewer is no Word 97 FIB.
constexpr int kWord97Pairs = 0x5D;
/// Pair 87 of FibRgFcLcb97 is ftModified, a time stamp, not an offset into the table.
constexpr int kModifiedTimePair = 87;

void put32(QByteArray& b, qsizetype at, quint32 v)
{
    qToLittleEndian(v, b.data() + at);
}

enum Which { Word, Table, Data, kStreams };

/// A Word 97 document opened with its key, read as its plain form: decrypted, the header before
/// the table gone, the FIB with the flags cleared, `lKey` 0 and the table offsets moved back.
struct PlainDocument {
    std::unique_ptr<Compound> cf;
    std::array<GPtr<GsfInput>, kStreams> streams;
    QByteArray tableName;
    std::optional<Rc4Cipher> cipher;
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
        platform::Result<Rc4Cipher> cipher = rc4CipherFor(*header, password);
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
    if (head && leAt(*head, 0, 2) == kWord95Magic)
        return false;
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
    const platform::Result<Rc4Cipher> cipher =
        header ? rc4CipherFor(*header, QString()) : platform::Result<Rc4Cipher>(formatError(QString()));
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
    if (!passwordFits(targetPassword))
        return formatError(passwordTooLongText());
    platform::Result<PlainDocument> opened = openPlain(source, sourcePassword);
    if (!opened)
        return opened.status();
    const PlainDocument& d = *opened;
    std::optional<Rc4Cipher> cipher;
    QByteArray header;
    QByteArray fib = d.fib;
    if (!targetPassword.isEmpty()) {
        Rc4Cipher c;
        header = newRc4CryptoApiHeader(targetPassword, &c);
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

    StreamEdits edits;
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
    StreamList sa, sb;
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
        if (sameStreamName(name, "/WordDocument") || sameStreamName(name, "/" + da->tableName) ||
            sameStreamName(name, "/Data"))
            continue;
        const qint64 size = gsf_input_size(input.get());
        if (size != gsf_input_size(other->second.get()) || !sameBytes(input.get(), other->second.get(), size, {}))
            return formatError(QStringLiteral("stream %1 differs").arg(QString::fromUtf8(name)));
    }
    return {};
}

} // namespace korvane::wordcrypt
