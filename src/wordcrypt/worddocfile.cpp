#include "wordcrypt/worddocfile.h"

#include <QCryptographicHash>
#include <QStringList>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

// The compound-file library is C with GObject; keep it inside this unit.
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

namespace korvane::wordcrypt {

namespace {

constexpr quint16 kFibMagic = 0xA5EC;
constexpr quint16 fEncrypted = 0x0100;
constexpr quint16 fWhichTblStm = 0x0200;
constexpr quint16 fReadOnlyRecommended = 0x0400;
constexpr quint16 fWriteReservation = 0x0800;
constexpr quint16 fObfuscated = 0x8000;
constexpr qint64 kFlagsAt = 0x0A;
constexpr qint64 kLKeyAt = 0x0E;
/// The start of the FIB that stays readable in an encrypted document.
constexpr qint64 kPlainFibBytes = 68;
/// fcSttbfAssoc is pair 32 of FibRgFcLcb97.
constexpr int kSttbfAssocPair = 32;
constexpr int kAssocEntries = 0x12;
constexpr int kAssocWriteReservation = 0x11;
constexpr qint64 kMaxAssocBytes = 2 + 2 + 2 + kAssocEntries * (2 + 2 * 0xFFFF);
constexpr qint64 kChunk = 1 << 16;

struct GObjectUnref {
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <class T> using GPtr = std::unique_ptr<T, GObjectUnref>;

QString takeError(GError* error, const char* fallback)
{
    QString text = error && error->message ? QString::fromUtf8(error->message) : QString::fromUtf8(fallback);
    if (error)
        g_error_free(error);
    return text;
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

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

/// Little-endian fields read with their bounds checked; 0 past the end. (Plain byte arithmetic
/// also keeps the compiler's bounds analysis quiet about QByteArray's shared empty buffer.)
quint32 le(const QByteArray& b, qsizetype at, int size)
{
    quint32 v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = (v << 8) | (at + i < b.size() ? quint8(b.at(at + i)) : 0);
    return v;
}
quint16 u16(const QByteArray& b, qsizetype at)
{
    return quint16(le(b, at, 2));
}
quint32 u32(const QByteArray& b, qsizetype at)
{
    return le(b, at, 4);
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

/// Complaints of the library about the file being read on this thread. The library reads on
/// after some damage ("we might still be able to extract some data"); we do not.
thread_local int t_complaints = 0;

void countComplaint(const gchar*, GLogLevelFlags, const gchar*, gpointer)
{
    ++t_complaints;
}

/// One compound file opened for reading. The library reads stream data on demand.
class Compound {
public:
    static std::unique_ptr<Compound> fromPath(const QByteArray& path, QString* error)
    {
        GError* err = nullptr;
        GPtr<GsfInput> input(gsf_input_stdio_new(path.constData(), &err));
        if (!input)
            return fail(error, takeError(err, "cannot open")), nullptr;
        return open(std::move(input), error);
    }
    static std::unique_ptr<Compound> fromBytes(const QByteArray& bytes, QString* error)
    {
        GPtr<GsfInput> input(
            gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.constData()), bytes.size(), FALSE));
        return input ? open(std::move(input), error) : nullptr;
    }

    GsfInfile* root() const { return m_root.get(); }

    GPtr<GsfInput> stream(const char* name) const
    {
        GPtr<GsfInput> child(gsf_infile_child_by_name(m_root.get(), name));
        if (child && GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0)
            return nullptr; // a storage, not a stream
        return child;
    }

private:
    static std::unique_ptr<Compound> open(GPtr<GsfInput> input, QString* error)
    {
        static std::once_flag once;
        std::call_once(once, [] {
            gsf_init();
            g_log_set_handler("libgsf:msole", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
                              countComplaint, nullptr);
        });
        t_complaints = 0;
        GError* err = nullptr;
        GPtr<GsfInfile> root(gsf_infile_msole_new(input.get(), &err));
        if (!root)
            return fail(error, takeError(err, "not a compound file")), nullptr;
        if (t_complaints)
            return fail(error, QStringLiteral("damaged compound file")), nullptr;
        auto c = std::unique_ptr<Compound>(new Compound);
        c->m_input = std::move(input);
        c->m_root = std::move(root);
        return c;
    }
    GPtr<GsfInput> m_input;
    GPtr<GsfInfile> m_root;
};

/// `size` bytes at `offset`; nullopt when the stream is shorter.
std::optional<QByteArray> readAt(GsfInput* input, qint64 offset, qint64 size)
{
    if (offset < 0 || size < 0 || offset + size > gsf_input_size(input))
        return std::nullopt;
    QByteArray bytes(size, '\0');
    if (size == 0)
        return bytes;
    if (gsf_input_seek(input, offset, G_SEEK_SET) ||
        !gsf_input_read(input, size_t(size), reinterpret_cast<guint8*>(bytes.data())))
        return std::nullopt;
    return bytes;
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

std::optional<quint16> readFlags(const Compound& cf, QString* error)
{
    GPtr<GsfInput> word = cf.stream("WordDocument");
    const std::optional<QByteArray> head = word ? readAt(word.get(), 0, 32) : std::nullopt;
    if (!head || u16(*head, 0) != kFibMagic)
        return fail(error, QStringLiteral("no Word 97 document stream")), std::nullopt;
    // The stream's end must be there too: a file cut short is no document.
    if (!readAt(word.get(), gsf_input_size(word.get()) - 1, 1) || t_complaints)
        return fail(error, QStringLiteral("document stream cut short")), std::nullopt;
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
    if (!header || u16(*header, 0) != 1 ||
        u16(*header, 2) != 1)
        return std::nullopt;
    const QByteArray salt = header->mid(4, 16);
    QByteArray verifier = header->mid(20, 32);
    rc4AtOffset(rc4BaseKey(password, salt), verifier, 0);
    if (md5(verifier.left(16)) != verifier.mid(16, 16))
        return std::nullopt;
    return salt;
}

std::optional<Fib> readFib(const Compound& cf, const QString& openPassword, QString* error)
{
    GPtr<GsfInput> word = cf.stream("WordDocument");
    Fib fib;
    const std::optional<quint16> flags = readFlags(cf, error);
    if (!flags)
        return std::nullopt;
    fib.flags = *flags;
    if (fib.flags & fObfuscated)
        return fail(error, QStringLiteral("XOR obfuscation")), std::nullopt;
    std::optional<QByteArray> head = readAt(word.get(), 0, 0x9A);
    if (!head)
        return fail(error, QStringLiteral("FIB too short")), std::nullopt;
    fib.lKey = u32(*head, kLKeyAt);
    if (fib.encrypted()) {
        const std::optional<QByteArray> salt = rc4Salt(cf, fib.flags, openPassword);
        if (!salt)
            return fail(error, QStringLiteral("the open password does not match")), std::nullopt;
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
        return fail(error, QStringLiteral("FIB too short")), std::nullopt;
    at += 2 + 2 * qint64(u16(*csw, 0));
    const std::optional<QByteArray> cslw = plain(at, 2);
    if (!cslw)
        return fail(error, QStringLiteral("FIB too short")), std::nullopt;
    at += 2 + 4 * qint64(u16(*cslw, 0));
    const std::optional<QByteArray> cbRgFcLcb = plain(at, 2);
    if (!cbRgFcLcb || u16(*cbRgFcLcb, 0) <= kSttbfAssocPair)
        return fail(error, QStringLiteral("FIB has no associated strings")), std::nullopt;
    fib.assocPairAt = at + 2 + 8 * kSttbfAssocPair;
    const std::optional<QByteArray> pair = plain(fib.assocPairAt, 8);
    if (!pair)
        return fail(error, QStringLiteral("FIB too short")), std::nullopt;
    fib.fcAssoc = u32(*pair, 0);
    fib.lcbAssoc = u32(*pair, 4);
    return fib;
}

/// The 18 strings of SttbfAssoc; all empty when the document has none.
std::optional<QStringList> readAssoc(const Compound& cf, const Fib& fib, QString* error)
{
    QStringList entries;
    for (int i = 0; i < kAssocEntries; ++i)
        entries << QString();
    if (fib.lcbAssoc == 0)
        return entries;
    GPtr<GsfInput> table = cf.stream(fib.tableName());
    if (!table || fib.lcbAssoc > kMaxAssocBytes)
        return fail(error, QStringLiteral("bad associated strings")), std::nullopt;
    std::optional<QByteArray> bytes = readAt(table.get(), fib.fcAssoc, fib.lcbAssoc);
    if (!bytes || (fib.encrypted() && fib.fcAssoc < fib.lKey))
        return fail(error, QStringLiteral("associated strings outside the table")), std::nullopt;
    if (fib.encrypted())
        rc4AtOffset(fib.baseKey, *bytes, fib.fcAssoc);
    const QByteArray& b = *bytes;
    if (b.size() < 6 || u16(b, 0) != 0xFFFF ||
        u16(b, 2) != kAssocEntries ||
        u16(b, 4) != 0)
        return fail(error, QStringLiteral("associated strings have an unknown layout")), std::nullopt;
    qint64 at = 6;
    for (int i = 0; i < kAssocEntries; ++i) {
        if (at + 2 > b.size())
            return fail(error, QStringLiteral("associated strings cut short")), std::nullopt;
        const qint64 cch = u16(b, at);
        at += 2;
        if (at + 2 * cch > b.size())
            return fail(error, QStringLiteral("associated strings cut short")), std::nullopt;
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

/// How one stream changes on the way through: bytes replaced at offsets below `keep`, the
/// stream cut after `keep` bytes, then `tail` appended.
struct StreamEdit {
    qint64 keep = -1; ///< -1: the whole stream
    std::vector<std::pair<qint64, QByteArray>> patches;
    QByteArray tail;
};

bool copyStream(GsfInput* in, GsfOutput* out, const StreamEdit* edit)
{
    const qint64 size = gsf_input_size(in);
    const qint64 keep = edit && edit->keep >= 0 ? qMin(edit->keep, size) : size;
    if (gsf_input_seek(in, 0, G_SEEK_SET))
        return false;
    QByteArray buffer;
    for (qint64 at = 0; at < keep; at += buffer.size()) {
        buffer.resize(qMin(kChunk, keep - at));
        if (!gsf_input_read(in, size_t(buffer.size()), reinterpret_cast<guint8*>(buffer.data())))
            return false;
        if (edit) {
            for (const auto& [offset, bytes] : edit->patches) {
                for (qint64 i = 0; i < bytes.size(); ++i)
                    if (offset + i >= at && offset + i < at + buffer.size())
                        buffer[offset + i - at] = bytes[i];
            }
        }
        if (!gsf_output_write(out, size_t(buffer.size()), reinterpret_cast<const guint8*>(buffer.constData())))
            return false;
    }
    if (edit && !edit->tail.isEmpty() &&
        !gsf_output_write(out, size_t(edit->tail.size()), reinterpret_cast<const guint8*>(edit->tail.constData())))
        return false;
    return true;
}

bool copyStorage(GsfInfile* in, GsfOutfile* out, const std::map<QByteArray, StreamEdit>* edits)
{
    guint8 clsid[16];
    if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(in), clsid))
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out), clsid);
    const int n = gsf_infile_num_children(in);
    for (int i = 0; i < n; ++i) {
        const char* name = gsf_infile_name_by_index(in, i);
        GPtr<GsfInput> child(gsf_infile_child_by_index(in, i));
        if (!child || !name)
            return false;
        const bool storage = GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0;
        GPtr<GsfOutput> target(gsf_outfile_new_child(out, name, storage));
        if (!target)
            return false;
        bool ok;
        if (storage) {
            ok = copyStorage(GSF_INFILE(child.get()), GSF_OUTFILE(target.get()), nullptr);
        } else {
            const StreamEdit* edit = nullptr;
            if (edits) {
                const auto found = edits->find(QByteArray(name));
                edit = found == edits->end() ? nullptr : &found->second;
            }
            ok = copyStream(child.get(), target.get(), edit);
        }
        if (!gsf_output_close(target.get()) || !ok)
            return false;
    }
    return true;
}

/// Every stream of a storage, by its path inside the file.
void listStreams(GsfInfile* in, const QByteArray& prefix, std::map<QByteArray, GPtr<GsfInput>>* out,
                 std::map<QByteArray, QByteArray>* classIds)
{
    guint8 clsid[16];
    if (gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(in), clsid))
        (*classIds)[prefix] = QByteArray(reinterpret_cast<const char*>(clsid), 16);
    const int n = gsf_infile_num_children(in);
    for (int i = 0; i < n; ++i) {
        const QByteArray name = prefix + '/' + gsf_infile_name_by_index(in, i);
        GPtr<GsfInput> child(gsf_infile_child_by_index(in, i));
        if (!child)
            continue;
        if (GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0)
            listStreams(GSF_INFILE(child.get()), name, out, classIds);
        else
            (*out)[name] = std::move(child);
    }
}

/// Compares two streams from `from` on, except the byte ranges in `ignore`.
bool sameBytes(GsfInput* a, GsfInput* b, qint64 length, const std::vector<std::pair<qint64, qint64>>& ignore)
{
    for (qint64 at = 0; at < length; at += kChunk) {
        const qint64 n = qMin(kChunk, length - at);
        std::optional<QByteArray> x = readAt(a, at, n);
        std::optional<QByteArray> y = readAt(b, at, n);
        if (!x || !y)
            return false;
        for (const auto& [from, size] : ignore) {
            for (qint64 i = from; i < from + size; ++i) {
                if (i >= at && i < at + n)
                    (*x)[i - at] = (*y)[i - at];
            }
        }
        if (*x != *y)
            return false;
    }
    return true;
}

} // namespace

bool hasCompoundSignature(const QByteArray& head)
{
    static const QByteArray signature = QByteArray::fromHex("D0CF11E0A1B11AE1");
    return head.startsWith(signature);
}

static std::optional<WordFileState> inspect(const Compound* cf, QString* error)
{
    if (!cf)
        return std::nullopt;
    const std::optional<quint16> flags = readFlags(*cf, error);
    if (!flags)
        return std::nullopt;
    WordFileState state;
    state.encrypted = *flags & fEncrypted;
    state.obfuscated = *flags & fObfuscated;
    state.writeReserved = *flags & fWriteReservation;
    state.readOnlyRecommended = *flags & fReadOnlyRecommended;
    return state;
}

std::optional<WordFileState> inspectWordFile(const QByteArray& file, QString* error)
{
    if (!hasCompoundSignature(file))
        return fail(error, QStringLiteral("not a compound file")), std::nullopt;
    return inspect(Compound::fromBytes(file, error).get(), error);
}

std::optional<WordFileState> inspectWordPath(const QByteArray& path, QString* error)
{
    return inspect(Compound::fromPath(path, error).get(), error);
}

bool rc4PasswordMatches(const QByteArray& file, const QString& password)
{
    const std::unique_ptr<Compound> cf = hasCompoundSignature(file) ? Compound::fromBytes(file, nullptr) : nullptr;
    const std::optional<quint16> flags = cf ? readFlags(*cf, nullptr) : std::nullopt;
    return flags && rc4Salt(*cf, *flags, password);
}

bool rc4PasswordMatchesPath(const QByteArray& path, const QString& password)
{
    const std::unique_ptr<Compound> cf = Compound::fromPath(path, nullptr);
    const std::optional<quint16> flags = cf ? readFlags(*cf, nullptr) : std::nullopt;
    return flags && rc4Salt(*cf, *flags, password);
}

std::optional<WriteReservation> readWriteReservation(const QByteArray& path, const QString& openPassword,
                                                     QString* error)
{
    const std::unique_ptr<Compound> cf = Compound::fromPath(path, error);
    const std::optional<Fib> fib = cf ? readFib(*cf, openPassword, error) : std::nullopt;
    const std::optional<QStringList> entries = fib ? readAssoc(*cf, *fib, error) : std::nullopt;
    if (!entries)
        return std::nullopt;
    return WriteReservation{bool(fib->flags & fWriteReservation), entries->at(kAssocWriteReservation)};
}

bool writeWriteReservation(const QByteArray& source, const QByteArray& target, const QString& openPassword,
                           const QString& writePassword, QString* error)
{
    if (writePassword.size() > kMaxPasswordLength)
        return fail(error, QStringLiteral("password longer than 15 characters"));
    const std::unique_ptr<Compound> cf = Compound::fromPath(source, error);
    const std::optional<Fib> fib = cf ? readFib(*cf, openPassword, error) : std::nullopt;
    std::optional<QStringList> entries = fib ? readAssoc(*cf, *fib, error) : std::nullopt;
    if (!entries)
        return false;
    GPtr<GsfInput> table = cf->stream(fib->tableName());
    if (!table)
        return fail(error, QStringLiteral("no table stream"));
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

    GError* err = nullptr;
    GPtr<GsfOutput> sink(gsf_output_stdio_new(target.constData(), &err));
    if (!sink)
        return fail(error, takeError(err, "cannot create the output"));
    GPtr<GsfOutfile> out(gsf_outfile_msole_new(sink.get()));
    const bool copied = out && copyStorage(cf->root(), out.get(), &edits);
    const bool closed = out && gsf_output_close(GSF_OUTPUT(out.get()));
    const bool sinkClosed = gsf_output_is_closed(sink.get()) || gsf_output_close(sink.get());
    if (!copied || !closed || !sinkClosed)
        return fail(error, QStringLiteral("writing the compound file failed"));
    return true;
}

QString compareAfterReservation(const QByteArray& source, const QByteArray& result, const QString& openPassword,
                                const QString& writePassword)
{
    QString why;
    const std::unique_ptr<Compound> a = Compound::fromPath(source, &why);
    const std::unique_ptr<Compound> b = a ? Compound::fromPath(result, &why) : nullptr;
    const std::optional<Fib> fa = b ? readFib(*a, openPassword, &why) : std::nullopt;
    const std::optional<Fib> fb = fa ? readFib(*b, openPassword, &why) : std::nullopt;
    const std::optional<QStringList> ea = fb ? readAssoc(*a, *fa, &why) : std::nullopt;
    const std::optional<QStringList> eb = ea ? readAssoc(*b, *fb, &why) : std::nullopt;
    if (!eb)
        return why;
    if ((fa->flags & ~fWriteReservation) != (fb->flags & ~fWriteReservation))
        return QStringLiteral("FIB flags differ");
    if (bool(fb->flags & fWriteReservation) != !writePassword.isEmpty() ||
        eb->at(kAssocWriteReservation) != writePassword)
        return QStringLiteral("write reservation reads back wrong");
    for (int i = 0; i < kAssocEntries; ++i) {
        if (i != kAssocWriteReservation && ea->at(i) != eb->at(i))
            return QStringLiteral("associated string %1 changed").arg(i);
    }

    std::map<QByteArray, GPtr<GsfInput>> sa, sb;
    std::map<QByteArray, QByteArray> ca, cb;
    listStreams(a->root(), {}, &sa, &ca);
    listStreams(b->root(), {}, &sb, &cb);
    if (ca != cb)
        return QStringLiteral("class ids differ");
    if (sa.size() != sb.size())
        return QStringLiteral("stream lists differ");
    const QByteArray tablePath = QByteArray("/") + fa->tableName();
    for (const auto& [name, input] : sa) {
        const auto other = sb.find(name);
        if (other == sb.end())
            return QStringLiteral("stream %1 missing").arg(QString::fromUtf8(name));
        const qint64 sizeA = gsf_input_size(input.get());
        const qint64 sizeB = gsf_input_size(other->second.get());
        bool same;
        if (name == "/WordDocument") {
            same = sizeA == sizeB && sameBytes(input.get(), other->second.get(), sizeA,
                                               {{kFlagsAt, 2}, {fa->assocPairAt, 8}});
        } else if (name == tablePath) {
            // Everything before the strings' new place is untouched.
            const qint64 prefix = fb->lcbAssoc ? qint64(fb->fcAssoc) : sizeB;
            same = prefix <= sizeA && prefix <= sizeB &&
                   sameBytes(input.get(), other->second.get(), prefix, {});
        } else {
            same = sizeA == sizeB && sameBytes(input.get(), other->second.get(), sizeA, {});
        }
        if (!same)
            return QStringLiteral("stream %1 differs").arg(QString::fromUtf8(name));
    }
    return {};
}

} // namespace korvane::wordcrypt
