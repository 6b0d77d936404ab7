#include "wordcrypt/worddocfile.h"

#include "wordcrypt/compoundfile.h"
#include "wordcrypt/rc4cipher.h"
#include "wordcrypt/wordfib.h"

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

/// What the FIB says, with the parts of the table stream that the rest needs.
struct Fib {
    quint16 flags = 0;
    quint32 lKey = 0;
    qint64 assocPairAt = -1; ///< offset of fcSttbfAssoc in the document stream
    quint32 fcAssoc = 0;
    quint32 lcbAssoc = 0;
    Rc4Cipher cipher; ///< the document's key when encrypted
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

/// The cipher of the document's encryption header that accepts `password`: nullopt for a
/// document that is not encrypted (or only obfuscated), an unknown header or a wrong password.
std::optional<Rc4Cipher> openCipher(const Compound& cf, quint16 flags, const QString& password)
{
    if (!(flags & fEncrypted) || (flags & fObfuscated))
        return std::nullopt;
    GPtr<GsfInput> word = cf.stream("WordDocument");
    GPtr<GsfInput> table = cf.stream((flags & fWhichTblStm) ? "1Table" : "0Table");
    const std::optional<QByteArray> head = word ? readAt(word.get(), 0, kPlainFibBytes) : std::nullopt;
    if (!head || !table)
        return std::nullopt;
    const qint64 lKey = qMin<qint64>(u32(*head, kLKeyAt), gsf_input_size(table.get()));
    const std::optional<QByteArray> header = readAt(table.get(), 0, lKey);
    if (!header)
        return std::nullopt;
    platform::Result<Rc4Cipher> cipher = rc4CipherFor(*header, password);
    return cipher ? std::optional(*cipher) : std::nullopt;
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
        const std::optional<Rc4Cipher> cipher = openCipher(cf, fib.flags, openPassword);
        if (!cipher)
            return formatError(QStringLiteral("the open password does not match"));
        fib.cipher = *cipher;
    }
    // Walk the FIB's own counts rather than trusting a fixed offset.
    const auto plain = [&](qint64 at, qint64 size) -> std::optional<QByteArray> {
        std::optional<QByteArray> bytes = readAt(word.get(), at, size);
        if (bytes && fib.encrypted() && at + size > kPlainFibBytes) {
            QByteArray decrypted = *bytes;
            fib.cipher.apply(decrypted, at);
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
        fib.cipher.apply(*bytes, fib.fcAssoc);
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

QString passwordTooLongText()
{
    return QStringLiteral("密码不能超过%1个字符").arg(kMaxPasswordLength);
}

bool hasCompoundSignature(const QByteArray& head)
{
    static const QByteArray signature = QByteArray::fromHex("D0CF11E0A1B11AE1");
    return head.startsWith(signature);
}

static platform::Result<WordFileState> inspect(const platform::Result<std::unique_ptr<Compound>>& cf,
                                               bool word95Too = false)
{
    if (!cf)
        return cf.status();
    WordFileState state;
    const GPtr<GsfInput> word = (*cf)->stream("WordDocument");
    if (const std::optional<QByteArray> head = word ? readAt(word.get(), 0, 32) : std::nullopt;
        word95Too && head && u16(*head, 0) == kWord95Magic) {
        // The flag word sits where Word 97 has it; the office reads the rest.
        state.word95 = true;
        state.encrypted = u16(*head, kFlagsAt) & fEncrypted;
        return state;
    }
    const platform::Result<quint16> flags = readFlags(**cf);
    if (!flags)
        return flags.status();
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

platform::Result<WordFileState> inspectDocumentPath(const QByteArray& path)
{
    return inspect(Compound::fromPath(path), true);
}

namespace {

bool rc4PasswordMatchesIn(const platform::Result<std::unique_ptr<Compound>>& cf, const QString& password)
{
    if (!cf)
        return false;
    const platform::Result<quint16> flags = readFlags(**cf);
    return flags && openCipher(**cf, *flags, password);
}

/// A compound file with its FIB and associated strings read.
struct ParsedDocument {
    std::unique_ptr<Compound> cf;
    Fib fib;
    QStringList entries;
};

/// `damaged`: where damaged strings are no failure but set this (the entries then all empty).
platform::Result<ParsedDocument> readDocument(const QByteArray& path, const QString& openPassword,
                                              bool* damaged = nullptr)
{
    platform::Result<std::unique_ptr<Compound>> cf = Compound::fromPath(path);
    if (!cf)
        return cf.status();
    platform::Result<Fib> fib = readFib(**cf, openPassword);
    if (!fib)
        return fib.status();
    platform::Result<QStringList> entries = readAssoc(**cf, *fib);
    if (!entries && damaged) {
        *damaged = true;
        entries = QStringList(kAssocEntries, QString());
    }
    if (!entries)
        return entries.status();
    return ParsedDocument{std::move(*cf), std::move(*fib), std::move(*entries)};
}

/// Where the new strings go in the table stream, and how that stream changes.
struct Placement {
    quint32 fc = 0;
    quint32 lcb = 0;
    StreamEdit edit;
};

/// The latest copy of `assoc` in the first `before` bytes of a plain table: strings the
/// document had before a later copy was written at the end. -1 when there is none.
qint64 earlierCopy(GsfInput* table, const Fib& fib, const QByteArray& assoc, qint64 before)
{
    constexpr qint64 kMaxSearched = 64 << 20;
    if (fib.encrypted() || before > kMaxSearched)
        return -1;
    const std::optional<QByteArray> head = readAt(table, 0, before);
    return head ? head->lastIndexOf(assoc) : -1;
}

/// `entries` replace strings whose reservation entry was `before`.
Placement placeAssoc(GsfInput* table, const Fib& fib, const QStringList& entries, const QString& before)
{
    const qint64 tableSize = gsf_input_size(table);
    const bool present = fib.lcbAssoc != 0;
    const bool atEnd = present && qint64(fib.fcAssoc) + fib.lcbAssoc == tableSize;
    const bool allEmpty = std::all_of(entries.begin(), entries.end(), [](const QString& e) { return e.isEmpty(); });
    QByteArray assoc = encodeAssoc(entries);
    Placement p;
    p.fc = fib.fcAssoc;
    if (allEmpty && !present)
        return p; // nothing to hold, nothing held: the flag alone
    if (atEnd) {
        if (const qint64 earlier = earlierCopy(table, fib, assoc, fib.fcAssoc); earlier >= 0) {
            p.edit.keep = fib.fcAssoc; // the strings are back where they were: the copy at the end goes
            p.fc = quint32(earlier);
            p.lcb = quint32(assoc.size());
            return p;
        }
    }
    if (allEmpty) {
        // Strings that hold nothing go with their pair, cut off where they end the stream.
        if (atEnd)
            p.edit.keep = fib.fcAssoc;
        return p;
    }
    qint64 at = tableSize; // appended: an earlier copy stays for a later removal to return to
    if (present && assoc.size() <= qint64(fib.lcbAssoc))
        at = fib.fcAssoc; // fits in place
    else if (atEnd && !before.isEmpty())
        at = fib.fcAssoc; // a reservation of its own at the end: replaced, so the file does not grow
    if (fib.encrypted())
        fib.cipher.apply(assoc, at);
    if (at + assoc.size() <= tableSize) {
        p.edit.patches.emplace_back(at, assoc);
    } else {
        p.edit.keep = at;
        p.edit.tail = assoc;
    }
    p.fc = quint32(at);
    p.lcb = quint32(assoc.size());
    return p;
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
    bool damaged = false;
    const platform::Result<ParsedDocument> doc = readDocument(path, openPassword, &damaged);
    if (!doc)
        return doc.status();
    return WriteReservation{bool(doc->fib.flags & fWriteReservation), doc->entries.at(kAssocWriteReservation), damaged};
}

platform::Status writeWriteReservation(const QByteArray& source, const QByteArray& target, const QString& openPassword,
                                       const QString& writePassword, DamagedStrings damaged)
{
    if (!passwordFits(writePassword))
        return formatError(passwordTooLongText());
    bool unreadable = false;
    platform::Result<ParsedDocument> doc =
        readDocument(source, openPassword, damaged == DamagedStrings::Replace ? &unreadable : nullptr);
    if (!doc)
        return doc.status();
    if (unreadable)
        doc->fib.lcbAssoc = 0; // new strings at the end; the unreadable ones are left unreferenced
    const std::unique_ptr<Compound>& cf = doc->cf;
    const Fib* fib = &doc->fib;
    QStringList* entries = &doc->entries;
    GPtr<GsfInput> table = cf->stream(fib->tableName());
    if (!table)
        return formatError(QStringLiteral("no table stream"));

    StreamEdit wordEdit;
    quint16 flags = fib->flags & ~fWriteReservation;
    if (!writePassword.isEmpty())
        flags |= fWriteReservation;
    QByteArray flagBytes(2, '\0');
    qToLittleEndian(flags, flagBytes.data());
    wordEdit.patches.emplace_back(kFlagsAt, flagBytes);

    const QString before = entries->at(kAssocWriteReservation);
    entries->replace(kAssocWriteReservation, writePassword);
    const Placement placed = placeAssoc(table.get(), *fib, *entries, before);
    QByteArray pair(8, '\0');
    qToLittleEndian(placed.fc, pair.data());
    qToLittleEndian(placed.lcb, pair.data() + 4);
    if (fib->encrypted())
        fib->cipher.apply(pair, fib->assocPairAt);
    wordEdit.patches.emplace_back(fib->assocPairAt, pair);

    StreamEdits edits;
    edits.emplace("WordDocument", wordEdit);
    edits.emplace(fib->tableName(), placed.edit);

    return writeCompound(cf->root(), target, edits);
}

namespace {

/// The table streams differ only by the strings: in place, added at the end, or cut off the end.
bool sameTableApartFromStrings(GsfInput* a, GsfInput* b, const Fib& fa, const Fib& fb)
{
    const qint64 sizeA = gsf_input_size(a);
    const qint64 sizeB = gsf_input_size(b);
    const qint64 endB = qint64(fb.fcAssoc) + fb.lcbAssoc;
    if (sizeB > sizeA && !(fb.lcbAssoc && endB == sizeB && fb.fcAssoc <= sizeA))
        return false; // grown by something other than the new strings
    if (sizeB < sizeA && !(fa.lcbAssoc && fa.fcAssoc == sizeB && qint64(fa.fcAssoc) + fa.lcbAssoc == sizeA))
        return false; // cut by something other than the old strings
    std::vector<std::pair<qint64, qint64>> strings;
    if (fb.lcbAssoc)
        strings.emplace_back(fb.fcAssoc, fb.lcbAssoc);
    return sameBytes(a, b, qMin(sizeA, sizeB), strings);
}

} // namespace

platform::Status compareAfterReservation(const QByteArray& source, const QByteArray& result,
                                         const QString& openPassword, const QString& writePassword,
                                         DamagedStrings damaged)
{
    bool unreadable = false;
    const platform::Result<ParsedDocument> da =
        readDocument(source, openPassword, damaged == DamagedStrings::Replace ? &unreadable : nullptr);
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

    StreamList sa, sb;
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
        if (sameStreamName(name, "/WordDocument")) {
            same = sizeA == sizeB &&
                   sameBytes(input.get(), other->second.get(), sizeA, {{kFlagsAt, 2}, {fa->assocPairAt, 8}});
        } else if (sameStreamName(name, tablePath)) {
            same = sameTableApartFromStrings(input.get(), other->second.get(), *fa, *fb);
        } else {
            same = sizeA == sizeB && sameBytes(input.get(), other->second.get(), sizeA, {});
        }
        if (!same)
            return formatError(QStringLiteral("stream %1 differs").arg(QString::fromUtf8(name)));
    }
    return {};
}

} // namespace korvane::wordcrypt
