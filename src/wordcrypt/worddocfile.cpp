#include "wordcrypt/worddocfile.h"

#include "wordcrypt/compoundfile.h"
#include "wordcrypt/wordfib.h"

#include <QCryptographicHash>
#include <QStringList>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <vector>

namespace korvane::wordcrypt {

namespace {

using namespace fib;

/// fcSttbfAssoc is pair 32 of FibRgFcLcb97.
constexpr int kSttbfAssocPair = 32;
constexpr int kAssocEntries = 0x12;
constexpr int kAssocWriteReservation = 0x11;
constexpr qint64 kMaxAssocBytes = 2 + 2 + 2 + kAssocEntries * (2 + 2 * 0xFFFF);

void rc4(const QByteArray& key, char* data, qint64 size, qint64 skip)
{
    std::array<quint8, 256> s;
    for (int i = 0; i < 256; ++i)
        s[i] = quint8(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + s[i] + quint8(key[i % key.size()])) & 0xFF;
        std::swap(s[i], s[j]);
    }
    int i = 0, j = 0;
    for (qint64 n = -skip; n < size; ++n) {
        i = (i + 1) & 0xFF;
        j = (j + s[i]) & 0xFF;
        std::swap(s[i], s[j]);
        if (n >= 0)
            data[n] = char(quint8(data[n]) ^ s[(s[i] + s[j]) & 0xFF]);
    }
}

QByteArray md5(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
}

QByteArray utf16le(const QString& text)
{
    QByteArray out;
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

/// The RC4 key material of Word 97 encryption: the 5-byte truncated hash of password and salt.
QByteArray rc4BaseKey(const QString& password, const QByteArray& salt)
{
    const QByteArray h0 = md5(utf16le(password)).left(5);
    QByteArray buffer;
    for (int i = 0; i < 16; ++i)
        buffer += h0 + salt;
    return md5(buffer).left(5);
}

/// XORs `data`, which sits at `offset` of its stream, with the stream's key stream. The key
/// changes every 512 bytes of stream; encrypting and decrypting are the same operation.
void rc4AtOffset(const QByteArray& baseKey, QByteArray& data, qint64 offset)
{
    qint64 done = 0;
    while (done < data.size()) {
        const qint64 at = offset + done;
        const quint32 block = quint32(at / 512);
        const qint64 inBlock = at % 512;
        const qint64 n = qMin<qint64>(512 - inBlock, data.size() - done);
        QByteArray blockBytes(4, '\0');
        qToLittleEndian(block, blockBytes.data());
        rc4(md5(baseKey + blockBytes), data.data() + done, n, inBlock);
        done += n;
    }
}

/// What the FIB says, with the parts of the table stream that the rest needs.
struct Fib {
    quint16 flags = 0;
    quint32 lKey = 0;
    qint64 assocPairAt = -1; ///< offset of fcSttbfAssoc in the document stream
    quint32 fcAssoc = 0;
    quint32 lcbAssoc = 0;
    QByteArray baseKey; ///< RC4 key material; empty when not encrypted
    const char* tableName() const { return (flags & fWhichTblStm) ? "1Table" : "0Table"; }
    bool encrypted() const { return flags & fEncrypted; }
};

platform::Result<quint16> readFlags(const Compound& cf)
{
    GPtr<GsfInput> word = cf.stream("WordDocument");
    const std::optional<QByteArray> head = word ? readAt(word.get(), 0, 32) : std::nullopt;
    if (!head || u16(*head, 0) != kFibMagic)
        return formatError(QStringLiteral("no Word 97 document stream"));
    // The stream's end must be there too: a file cut short is no document.
    if (!readAt(word.get(), gsf_input_size(word.get()) - 1, 1) || compoundComplaints())
        return formatError(QStringLiteral("document stream cut short"));
    return u16(*head, kFlagsAt);
}

/// The salt of an RC4 encryption header that accepts `password`; nullopt otherwise.
std::optional<QByteArray> rc4Salt(const Compound& cf, quint16 flags, const QString& password)
{
    if (!(flags & fEncrypted) || (flags & fObfuscated))
        return std::nullopt;
    GPtr<GsfInput> table = cf.stream((flags & fWhichTblStm) ? "1Table" : "0Table");
    // EncryptionVersionInfo 1.1, then salt, encrypted verifier and its encrypted MD5.
    const std::optional<QByteArray> header = table ? readAt(table.get(), 0, 52) : std::nullopt;
    if (!header || u16(*header, 0) != 1 || u16(*header, 2) != 1)
        return std::nullopt;
    const QByteArray salt = header->mid(4, 16);
    QByteArray verifier = header->mid(20, 32);
    rc4AtOffset(rc4BaseKey(password, salt), verifier, 0);
    if (md5(verifier.left(16)) != verifier.mid(16, 16))
        return std::nullopt;
    return salt;
}

platform::Result<Fib> readFib(const Compound& cf, const QString& openPassword)
{
    GPtr<GsfInput> word = cf.stream("WordDocument");
    Fib fib;
    const platform::Result<quint16> flags = readFlags(cf);
    if (!flags)
        return flags.status();
    fib.flags = *flags;
    if (fib.flags & fObfuscated)
        return formatError(QStringLiteral("XOR obfuscation"));
    std::optional<QByteArray> head = readAt(word.get(), 0, 0x9A);
    if (!head)
        return formatError(QStringLiteral("FIB too short"));
    fib.lKey = u32(*head, kLKeyAt);
    if (fib.encrypted()) {
        const std::optional<QByteArray> salt = rc4Salt(cf, fib.flags, openPassword);
        if (!salt)
            return formatError(QStringLiteral("the open password does not match"));
        fib.baseKey = rc4BaseKey(openPassword, *salt);
    }
    // Walk the FIB's own counts rather than trusting a fixed offset.
    const auto plain = [&](qint64 at, qint64 size) -> std::optional<QByteArray> {
        std::optional<QByteArray> bytes = readAt(word.get(), at, size);
        if (bytes && fib.encrypted() && at + size > kPlainFibBytes) {
            QByteArray decrypted = *bytes;
            rc4AtOffset(fib.baseKey, decrypted, at);
            for (qint64 i = 0; i < size && at + i < kPlainFibBytes; ++i)
                decrypted[i] = (*bytes)[i];
            return decrypted;
        }
        return bytes;
    };
    qint64 at = 0x20;
    const std::optional<QByteArray> csw = plain(at, 2);
    if (!csw)
        return formatError(QStringLiteral("FIB too short"));
    at += 2 + 2 * qint64(u16(*csw, 0));
    const std::optional<QByteArray> cslw = plain(at, 2);
    if (!cslw)
        return formatError(QStringLiteral("FIB too short"));
    at += 2 + 4 * qint64(u16(*cslw, 0));
    const std::optional<QByteArray> cbRgFcLcb = plain(at, 2);
    if (!cbRgFcLcb || u16(*cbRgFcLcb, 0) <= kSttbfAssocPair)
        return formatError(QStringLiteral("FIB has no associated strings"));
    fib.assocPairAt = at + 2 + 8 * kSttbfAssocPair;
    const std::optional<QByteArray> pair = plain(fib.assocPairAt, 8);
    if (!pair)
        return formatError(QStringLiteral("FIB too short"));
    fib.fcAssoc = u32(*pair, 0);
    fib.lcbAssoc = u32(*pair, 4);
    return fib;
}

/// The 18 strings of SttbfAssoc; all empty when the document has none.
platform::Result<QStringList> readAssoc(const Compound& cf, const Fib& fib)
{
    QStringList entries;
    for (int i = 0; i < kAssocEntries; ++i)
        entries << QString();
    if (fib.lcbAssoc == 0)
        return entries;
    GPtr<GsfInput> table = cf.stream(fib.tableName());
    if (!table || fib.lcbAssoc > kMaxAssocBytes)
        return formatError(QStringLiteral("bad associated strings"));
    std::optional<QByteArray> bytes = readAt(table.get(), fib.fcAssoc, fib.lcbAssoc);
    if (!bytes || (fib.encrypted() && fib.fcAssoc < fib.lKey))
        return formatError(QStringLiteral("associated strings outside the table"));
    if (fib.encrypted())
        rc4AtOffset(fib.baseKey, *bytes, fib.fcAssoc);
    const QByteArray& b = *bytes;
    if (b.size() < 6 || u16(b, 0) != 0xFFFF || u16(b, 2) != kAssocEntries || u16(b, 4) != 0)
        return formatError(QStringLiteral("associated strings have an unknown layout"));
    qint64 at = 6;
    for (int i = 0; i < kAssocEntries; ++i) {
        if (at + 2 > b.size())
            return formatError(QStringLiteral("associated strings cut short"));
        const qint64 cch = u16(b, at);
        at += 2;
        if (at + 2 * cch > b.size())
            return formatError(QStringLiteral("associated strings cut short"));
        entries[i] = QString::fromUtf16(reinterpret_cast<const char16_t*>(b.constData() + at), cch);
        at += 2 * cch;
    }
    return entries;
}

QByteArray encodeAssoc(const QStringList& entries)
{
    QByteArray out(6, '\0');
    qToLittleEndian<quint16>(0xFFFF, out.data());
    qToLittleEndian<quint16>(kAssocEntries, out.data() + 2);
    for (const QString& e : entries) {
        QByteArray cch(2, '\0');
        qToLittleEndian<quint16>(quint16(e.size()), cch.data());
        out += cch + utf16le(e);
    }
    return out;
}

} // namespace

bool hasCompoundSignature(const QByteArray& head)
{
    static const QByteArray signature = QByteArray::fromHex("D0CF11E0A1B11AE1");
    return head.startsWith(signature);
}

static platform::Result<WordFileState> inspect(const platform::Result<std::unique_ptr<Compound>>& cf)
{
    if (!cf)
        return cf.status();
    const platform::Result<quint16> flags = readFlags(**cf);
    if (!flags)
        return flags.status();
    WordFileState state;
    state.encrypted = *flags & fEncrypted;
    state.obfuscated = *flags & fObfuscated;
    state.writeReserved = *flags & fWriteReservation;
    state.readOnlyRecommended = *flags & fReadOnlyRecommended;
    return state;
}

platform::Result<WordFileState> inspectWordFile(const QByteArray& file)
{
    if (!hasCompoundSignature(file))
        return formatError(QStringLiteral("not a compound file"));
    return inspect(Compound::fromBytes(file));
}

platform::Result<WordFileState> inspectWordPath(const QByteArray& path)
{
    return inspect(Compound::fromPath(path));
}

namespace {

bool rc4PasswordMatchesIn(const platform::Result<std::unique_ptr<Compound>>& cf, const QString& password)
{
    if (!cf)
        return false;
    const platform::Result<quint16> flags = readFlags(**cf);
    return flags && rc4Salt(**cf, *flags, password);
}

/// A compound file with its FIB and associated strings read.
struct ParsedDocument {
    std::unique_ptr<Compound> cf;
    Fib fib;
    QStringList entries;
};

platform::Result<ParsedDocument> readDocument(const QByteArray& path, const QString& openPassword)
{
    platform::Result<std::unique_ptr<Compound>> cf = Compound::fromPath(path);
    if (!cf)
        return cf.status();
    platform::Result<Fib> fib = readFib(**cf, openPassword);
    if (!fib)
        return fib.status();
    platform::Result<QStringList> entries = readAssoc(**cf, *fib);
    if (!entries)
        return entries.status();
    return ParsedDocument{std::move(*cf), std::move(*fib), std::move(*entries)};
}

} // namespace

bool rc4PasswordMatches(const QByteArray& file, const QString& password)
{
    return hasCompoundSignature(file) && rc4PasswordMatchesIn(Compound::fromBytes(file), password);
}

bool rc4PasswordMatchesPath(const QByteArray& path, const QString& password)
{
    return rc4PasswordMatchesIn(Compound::fromPath(path), password);
}

platform::Result<WriteReservation> readWriteReservation(const QByteArray& path, const QString& openPassword)
{
    const platform::Result<ParsedDocument> doc = readDocument(path, openPassword);
    if (!doc)
        return doc.status();
    return WriteReservation{bool(doc->fib.flags & fWriteReservation), doc->entries.at(kAssocWriteReservation)};
}

platform::Status writeWriteReservation(const QByteArray& source, const QByteArray& target, const QString& openPassword,
                                       const QString& writePassword)
{
    if (writePassword.size() > kMaxPasswordLength)
        return formatError(QStringLiteral("password longer than 15 characters"));
    platform::Result<ParsedDocument> doc = readDocument(source, openPassword);
    if (!doc)
        return doc.status();
    const std::unique_ptr<Compound>& cf = doc->cf;
    const Fib* fib = &doc->fib;
    QStringList* entries = &doc->entries;
    GPtr<GsfInput> table = cf->stream(fib->tableName());
    if (!table)
        return formatError(QStringLiteral("no table stream"));
    const qint64 tableSize = gsf_input_size(table.get());

    StreamEdit wordEdit;
    quint16 flags = fib->flags & ~fWriteReservation;
    if (!writePassword.isEmpty())
        flags |= fWriteReservation;
    QByteArray flagBytes(2, '\0');
    qToLittleEndian(flags, flagBytes.data());
    wordEdit.patches.emplace_back(kFlagsAt, flagBytes);

    StreamEdit tableEdit;
    entries->replace(kAssocWriteReservation, writePassword);
    const bool allEmpty = std::all_of(entries->begin(), entries->end(), [](const QString& e) { return e.isEmpty(); });
    quint32 fc = fib->fcAssoc;
    quint32 lcb = fib->lcbAssoc;
    if (fib->lcbAssoc != 0 || !allEmpty) {
        // The new table goes at the end of the stream; one that already ends it is replaced.
        const bool atEnd = fib->lcbAssoc != 0 && qint64(fib->fcAssoc) + fib->lcbAssoc == tableSize;
        const qint64 keep = atEnd ? qint64(fib->fcAssoc) : tableSize;
        QByteArray assoc = encodeAssoc(*entries);
        if (fib->encrypted())
            rc4AtOffset(fib->baseKey, assoc, keep);
        tableEdit.keep = keep;
        tableEdit.tail = assoc;
        fc = quint32(keep);
        lcb = quint32(assoc.size());
    }
    QByteArray pair(8, '\0');
    qToLittleEndian(fc, pair.data());
    qToLittleEndian(lcb, pair.data() + 4);
    if (fib->encrypted())
        rc4AtOffset(fib->baseKey, pair, fib->assocPairAt);
    wordEdit.patches.emplace_back(fib->assocPairAt, pair);

    std::map<QByteArray, StreamEdit> edits;
    edits.emplace("WordDocument", wordEdit);
    edits.emplace(fib->tableName(), tableEdit);

    return writeCompound(cf->root(), target, edits);
}

platform::Status compareAfterReservation(const QByteArray& source, const QByteArray& result,
                                         const QString& openPassword, const QString& writePassword)
{
    const platform::Result<ParsedDocument> da = readDocument(source, openPassword);
    if (!da)
        return da.status();
    const platform::Result<ParsedDocument> db = readDocument(result, openPassword);
    if (!db)
        return db.status();
    const Compound* a = da->cf.get();
    const Compound* b = db->cf.get();
    const Fib* fa = &da->fib;
    const Fib* fb = &db->fib;
    const QStringList* ea = &da->entries;
    const QStringList* eb = &db->entries;
    if ((fa->flags & ~fWriteReservation) != (fb->flags & ~fWriteReservation))
        return formatError(QStringLiteral("FIB flags differ"));
    if (bool(fb->flags & fWriteReservation) != !writePassword.isEmpty() ||
        eb->at(kAssocWriteReservation) != writePassword)
        return formatError(QStringLiteral("write reservation reads back wrong"));
    for (int i = 0; i < kAssocEntries; ++i) {
        if (i != kAssocWriteReservation && ea->at(i) != eb->at(i))
            return formatError(QStringLiteral("associated string %1 changed").arg(i));
    }

    std::map<QByteArray, GPtr<GsfInput>> sa, sb;
    std::map<QByteArray, QByteArray> ca, cb;
    listStreams(a->root(), {}, &sa, &ca);
    listStreams(b->root(), {}, &sb, &cb);
    if (ca != cb)
        return formatError(QStringLiteral("class ids differ"));
    if (sa.size() != sb.size())
        return formatError(QStringLiteral("stream lists differ"));
    const QByteArray tablePath = QByteArray("/") + fa->tableName();
    for (const auto& [name, input] : sa) {
        const auto other = sb.find(name);
        if (other == sb.end())
            return formatError(QStringLiteral("stream %1 missing").arg(QString::fromUtf8(name)));
        const qint64 sizeA = gsf_input_size(input.get());
        const qint64 sizeB = gsf_input_size(other->second.get());
        bool same;
        if (name == "/WordDocument") {
            same = sizeA == sizeB &&
                   sameBytes(input.get(), other->second.get(), sizeA, {{kFlagsAt, 2}, {fa->assocPairAt, 8}});
        } else if (name == tablePath) {
            // Everything before the strings' new place is untouched.
            const qint64 prefix = fb->lcbAssoc ? qint64(fb->fcAssoc) : sizeB;
            same = prefix <= sizeA && prefix <= sizeB && sameBytes(input.get(), other->second.get(), prefix, {});
        } else {
            same = sizeA == sizeB && sameBytes(input.get(), other->second.get(), sizeA, {});
        }
        if (!same)
            return formatError(QStringLiteral("stream %1 differs").arg(QString::fromUtf8(name)));
    }
    return {};
}

} // namespace korvane::wordcrypt
