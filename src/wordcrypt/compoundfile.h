#pragma once

// Compound (OLE2) files through libgsf: reading streams on demand, copying a file stream by
// stream with edits on the way, and comparing streams. Only for the Word 97 units.

#include "platform/status.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// The compound-file library is C with GObject; keep it inside the units that need it.
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input.h>
#include <gsf/gsf-outfile.h>

namespace korvane::wordcrypt {

struct GObjectUnref {
    void operator()(gpointer p) const
    {
        if (p)
            g_object_unref(p);
    }
};
template <class T> using GPtr = std::unique_ptr<T, GObjectUnref>;

/// Compound-file names compare without regard to case ("worddocument" is the document stream);
/// names are written as they were read.
bool sameStreamName(const QByteArray& a, const QByteArray& b);
struct StreamNameLess {
    bool operator()(const QByteArray& a, const QByteArray& b) const;
};

/// The library's error text (`fallback` without one); frees `error`.
QString takeError(GError* error, const char* fallback);

/// A file the readers refuse, with the reader's own words for why.
inline platform::Status formatError(const QString& text)
{
    return platform::Status::failure(platform::ErrorKind::Failed, text);
}

/// Complaints of the library about the file being read on this thread since it was opened.
/// The library reads on after some damage ("we might still be able to extract some data"); we
/// do not.
int compoundComplaints();

/// One compound file opened for reading. The library reads stream data on demand.
class Compound {
public:
    static platform::Result<std::unique_ptr<Compound>> fromPath(const QByteArray& path);
    static platform::Result<std::unique_ptr<Compound>> fromBytes(const QByteArray& bytes);

    GsfInfile* root() const { return m_root.get(); }
    /// The stream `name` of the root storage, whatever the case of its name; null for a storage
    /// or when there is none.
    GPtr<GsfInput> stream(const char* name) const;

private:
    static platform::Result<std::unique_ptr<Compound>> open(GPtr<GsfInput> input);
    GPtr<GsfInput> m_input;
    GPtr<GsfInfile> m_root;
};

/// `size` bytes at `offset`; nullopt when the stream is shorter.
std::optional<QByteArray> readAt(GsfInput* input, qint64 offset, qint64 size);

/// How one stream changes on the way through: bytes replaced at offsets below `keep`, the
/// stream cut after `keep` bytes, then `tail` appended. With `produce`, the stream's new content
/// instead: `size` bytes, asked for in chunks (offset, length); nullopt fails the copy.
struct StreamEdit {
    qint64 keep = -1; ///< -1: the whole stream
    std::vector<std::pair<qint64, QByteArray>> patches;
    QByteArray tail;
    std::function<std::optional<QByteArray>(qint64, qint64)> produce;
    qint64 size = 0;
};

/// Edits of top-level streams, by name.
using StreamEdits = std::map<QByteArray, StreamEdit, StreamNameLess>;
/// Streams by their path inside the file ("/WordDocument").
using StreamList = std::map<QByteArray, GPtr<GsfInput>, StreamNameLess>;

/// Copies a storage with every stream and storage below it, and the class ids; the streams of
/// `in` named in `edits` (top level only) are edited on the way.
bool copyStorage(GsfInfile* in, GsfOutfile* out, const StreamEdits* edits);

/// Writes a copy of `in` with `edits` to a new compound file at `target`.
platform::Status writeCompound(GsfInfile* in, const QByteArray& target, const StreamEdits& edits);

/// Every stream of a storage, by its path inside the file, and the class id of every storage.
void listStreams(GsfInfile* in, const QByteArray& prefix, StreamList* out, std::map<QByteArray, QByteArray>* classIds);

/// Compares the first `length` bytes of two streams, except the byte ranges in `ignore`
/// (offset, size).
bool sameBytes(GsfInput* a, GsfInput* b, qint64 length, const std::vector<std::pair<qint64, qint64>>& ignore);

} // namespace korvane::wordcrypt
