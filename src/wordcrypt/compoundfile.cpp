#include "wordcrypt/compoundfile.h"

#include <mutex>

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-output.h>
#include <gsf/gsf-utils.h>

namespace korvane::wordcrypt {

namespace {

constexpr qint64 kChunk = 1 << 16;

thread_local int t_complaints = 0;

void countComplaint(const gchar*, GLogLevelFlags, const gchar*, gpointer)
{
    ++t_complaints;
}

bool isStorage(GsfInput* input)
{
    return GSF_IS_INFILE(input) && gsf_infile_num_children(GSF_INFILE(input)) >= 0;
}

bool produceStream(GsfOutput* out, const StreamEdit& edit)
{
    for (qint64 at = 0; at < edit.size;) {
        const qint64 n = qMin(kChunk, edit.size - at);
        const std::optional<QByteArray> chunk = edit.produce(at, n);
        if (!chunk || chunk->size() != n ||
            !gsf_output_write(out, size_t(n), reinterpret_cast<const guint8*>(chunk->constData())))
            return false;
        at += n;
    }
    return true;
}

bool copyStream(GsfInput* in, GsfOutput* out, const StreamEdit* edit)
{
    if (edit && edit->produce)
        return produceStream(out, *edit);
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

} // namespace

bool sameStreamName(const QByteArray& a, const QByteArray& b)
{
    return QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive) == 0;
}

bool StreamNameLess::operator()(const QByteArray& a, const QByteArray& b) const
{
    return QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive) < 0;
}

QString takeError(GError* error, const char* fallback)
{
    QString text = error && error->message ? QString::fromUtf8(error->message) : QString::fromUtf8(fallback);
    if (error)
        g_error_free(error);
    return text;
}

int compoundComplaints()
{
    return t_complaints;
}

platform::Result<std::unique_ptr<Compound>> Compound::fromPath(const QByteArray& path)
{
    GError* err = nullptr;
    GPtr<GsfInput> input(gsf_input_stdio_new(path.constData(), &err));
    if (!input)
        return formatError(takeError(err, "cannot open"));
    return open(std::move(input));
}

platform::Result<std::unique_ptr<Compound>> Compound::fromBytes(const QByteArray& bytes)
{
    GPtr<GsfInput> input(gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.constData()), bytes.size(), FALSE));
    if (!input)
        return formatError(QStringLiteral("cannot open"));
    return open(std::move(input));
}

GPtr<GsfInput> Compound::stream(const char* name) const
{
    const int n = gsf_infile_num_children(m_root.get());
    for (int i = 0; i < n; ++i) {
        const char* found = gsf_infile_name_by_index(m_root.get(), i);
        if (!found || !sameStreamName(found, name))
            continue;
        GPtr<GsfInput> child(gsf_infile_child_by_index(m_root.get(), i));
        if (child && isStorage(child.get()))
            return nullptr; // a storage, not a stream
        return child;
    }
    return nullptr;
}

platform::Result<std::unique_ptr<Compound>> Compound::open(GPtr<GsfInput> input)
{
    static std::once_flag once;
    std::call_once(once, [] {
        gsf_init();
        g_log_set_handler("libgsf:msole", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL), countComplaint,
                          nullptr);
    });
    t_complaints = 0;
    GError* err = nullptr;
    GPtr<GsfInfile> root(gsf_infile_msole_new(input.get(), &err));
    if (!root)
        return formatError(takeError(err, "not a compound file"));
    if (t_complaints)
        return formatError(QStringLiteral("damaged compound file"));
    auto c = std::unique_ptr<Compound>(new Compound);
    c->m_input = std::move(input);
    c->m_root = std::move(root);
    return platform::Result<std::unique_ptr<Compound>>(std::move(c));
}

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

bool copyStorage(GsfInfile* in, GsfOutfile* out, const StreamEdits* edits)
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
        const bool storage = isStorage(child.get());
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

platform::Status writeCompound(GsfInfile* in, const QByteArray& target, const StreamEdits& edits)
{
    GError* err = nullptr;
    GPtr<GsfOutput> sink(gsf_output_stdio_new(target.constData(), &err));
    if (!sink)
        return formatError(takeError(err, "cannot create the output"));
    GPtr<GsfOutfile> out(gsf_outfile_msole_new(sink.get()));
    const bool copied = out && copyStorage(in, out.get(), &edits);
    const bool closed = out && gsf_output_close(GSF_OUTPUT(out.get()));
    const bool sinkClosed = gsf_output_is_closed(sink.get()) || gsf_output_close(sink.get());
    if (!copied || !closed || !sinkClosed)
        return formatError(QStringLiteral("writing the compound file failed"));
    return {};
}

void listStreams(GsfInfile* in, const QByteArray& prefix, StreamList* out, std::map<QByteArray, QByteArray>* classIds)
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
        if (isStorage(child.get()))
            listStreams(GSF_INFILE(child.get()), name, out, classIds);
        else
            (*out)[name] = std::move(child);
    }
}

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

} // namespace korvane::wordcrypt
