#include "recorder/contentlookup.h"

#include "platform/nativepath.h"
#include "platform/orderedparallel.h"
#include "recorder/filedatabase.h"

#include <QSet>
#include <algorithm>
#include <memory>

namespace korvane::recorder {

using platform::NativePath;
using platform::Status;

namespace {

/// The bytes a stored text may stand for on disk: recording keeps a UTF-8 name as it is and
/// stores any other as its GB18030 reading, so the name's bytes are one of these two.
std::vector<QByteArray> nativeForms(const QString& text)
{
    std::vector<QByteArray> forms{text.toUtf8()};
    if (const std::optional<QByteArray> gb = platform::encodeText(text, "GB18030"); gb && *gb != forms.front())
        forms.push_back(*gb);
    return forms;
}

/// A stored name that can only be a name directly inside a folder.
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && !name.contains(u'/') && name != u"." && name != u"..";
}

struct Place {
    NativePath path;
    std::unique_ptr<platform::OpenFolder> open;
    /// The names of the files in it, when it was listed: a name not among them needs no look.
    std::optional<QSet<QByteArray>> files;
};

/// With many names to look for, a folder's listing costs less than a look per name (and per
/// form of a name) that finds nothing, which is what most looks do.
constexpr qsizetype kNamesWorthAListing = 256;

/// Every logged folder that can still be opened, newest first, each once: also when the log
/// names it twice in other words ("/a/b" and "/a/b/", a link to it).
std::vector<Place> loggedPlaces(platform::FileSystem& fs, const QStringList& folders, bool listed)
{
    std::vector<Place> places;
    QSet<std::pair<quint64, quint64>> seen;
    for (QString folder : folders) {
        while (folder.size() > 1 && folder.endsWith(u'/'))
            folder.chop(1); // the paths found read "/a/b/name"
        for (const QByteArray& form : nativeForms(folder)) {
            const platform::Result<platform::FileInfo> info = fs.info(form, platform::Links::Follow);
            if (!info || info->kind != platform::EntryKind::Folder)
                continue;
            if (seen.contains({info->device, info->inode}))
                break;
            seen.insert({info->device, info->inode});
            platform::Result<std::unique_ptr<platform::OpenFolder>> open = fs.openFolder(form);
            if (!open)
                continue;
            Place place{form, std::move(*open), std::nullopt};
            if (listed) {
                if (const platform::Result<std::vector<platform::DirEntry>> entries = fs.list(form); entries) {
                    place.files.emplace();
                    for (const platform::DirEntry& entry : *entries)
                        if (entry.kind == platform::EntryKind::File)
                            place.files->insert(entry.name);
                }
            }
            places.push_back(std::move(place));
            break;
        }
    }
    return places;
}

/// What a lookup shares among its workers; read-only once made.
struct Search {
    platform::FileSystem& fs;
    const NativePath& file;
    platform::FileInfo fileInfo;
    std::vector<Place> places;
    platform::RunControl* control;

    bool stopRequested() const { return control && control->stopRequested(); }

    /// The file of that name and size in one place, compared with the file in hand.
    std::optional<ContentMatch> lookIn(const Place& place, const QString& name,
                                       const std::vector<QByteArray>& forms) const
    {
        for (const QByteArray& form : forms) {
            if (place.files && !place.files->contains(form))
                continue;
            const platform::Result<platform::FileInfo> info = place.open->info(form, platform::Links::Follow);
            if (!info || info->kind != platform::EntryKind::File || info->size != fileInfo.size)
                continue;
            ContentMatch match{name, fileInfo.size, Content::Same, platform::joinPath(place.path, form), {}};
            if (info->device == fileInfo.device && info->inode == fileInfo.inode)
                return match; // the file in hand itself
            const platform::Result<bool> same = fs.sameContents(file, match.foundAt);
            if (!same) {
                match.content = Content::Unreadable;
                match.reason = same.status().message();
            } else if (!*same) {
                match.content = Content::Different;
            }
            return match;
        }
        return std::nullopt;
    }

    /// Every place that holds the name, or one Missing entry; empty when a stop cut it short.
    std::vector<ContentMatch> lookFor(const QString& name) const
    {
        std::vector<ContentMatch> found;
        const std::vector<QByteArray> forms = isPlainName(name) ? nativeForms(name) : std::vector<QByteArray>();
        for (const Place& place : places) {
            if (stopRequested())
                return {};
            if (std::optional<ContentMatch> match = lookIn(place, name, forms))
                found.push_back(std::move(*match));
        }
        if (found.empty())
            found.push_back({name, fileInfo.size, Content::Missing, {}, {}});
        return found;
    }
};

/// Looks for every name on up to `workers` threads; each name's result at its own index (empty
/// for a name a stop left unlooked).
std::vector<std::vector<ContentMatch>> lookForAll(const Search& search, const QStringList& names, int workers)
{
    // A thread is worth its start only with a few names of its own.
    constexpr qsizetype kNamesPerThread = 8;
    const int threads = int(std::clamp<qsizetype>(names.size() / kNamesPerThread, 1, std::max(workers, 1)));
    std::vector<std::vector<ContentMatch>> results;
    results.reserve(size_t(names.size()));
    platform::OrderedParallel<QString, std::vector<ContentMatch>> pool(
        threads, size_t(threads) * kNamesPerThread, search.control,
        [&search](const QString& name) {
            std::vector<ContentMatch> found = search.lookFor(name);
            if (search.control)
                search.control->advance();
            return found;
        },
        [&results](auto& done) { results.push_back(std::move(done.result)); });
    for (const QString& name : names)
        pool.submit(name);
    pool.finish();
    return results;
}

} // namespace

bool ContentLookup::anySame() const
{
    return std::any_of(matches.begin(), matches.end(),
                       [](const ContentMatch& match) { return match.content == Content::Same; });
}

ContentLookup lookUpByContent(platform::FileSystem& fs, FileDatabase& db, const NativePath& file, int workers,
                              platform::RunControl* control)
{
    ContentLookup result;
    Search search{fs, file, {}, {}, control};
    if (const platform::Result<platform::FileInfo> info = fs.info(file, platform::Links::Follow); !info) {
        result.status = info.status();
        return result;
    } else if (info->kind != platform::EntryKind::File) {
        result.status = Status::failure(platform::ErrorKind::Io, QStringLiteral("不是文件"));
        return result;
    } else {
        search.fileInfo = *info;
    }
    // Read before anything is looked for: a file that cannot be read fails with its reason.
    if (const platform::Result<QByteArray> head = fs.readFile(file, 1); !head) {
        result.status = head.status();
        return result;
    }
    result.bytes = search.fileInfo.size;
    const platform::Result<QStringList> names = db.namesOfSize(search.fileInfo.size);
    const platform::Result<QStringList> folders = names ? db.loggedFolders() : names;
    if (!folders) {
        result.status = folders.status();
        result.databaseFailed = true;
        return result;
    }
    search.places = loggedPlaces(fs, *folders, names->size() >= kNamesWorthAListing);
    if (control)
        control->setTotal(names->size());
    for (std::vector<ContentMatch>& found : lookForAll(search, *names, workers)) {
        if (found.empty()) { // not reached, or cut short by the stop
            result.stopped = true;
            break;
        }
        std::move(found.begin(), found.end(), std::back_inserter(result.matches));
    }
    result.stopped = result.stopped || search.stopRequested();
    return result;
}

QString contentText(const ContentMatch& match)
{
    const QString path = platform::displayPath(match.foundAt);
    switch (match.content) {
    case Content::Same: return QStringLiteral("内容相同: ") + path;
    case Content::Different: return QStringLiteral("内容不同: ") + path;
    case Content::Missing: break;
    case Content::Unreadable: return QStringLiteral("无法读取: %1 (%2)").arg(path, match.reason);
    }
    return QStringLiteral("已不在记录的文件夹中");
}

QString contentKeyword(Content content)
{
    switch (content) {
    case Content::Same: return QStringLiteral("same");
    case Content::Different: return QStringLiteral("different");
    case Content::Missing: break;
    case Content::Unreadable: return QStringLiteral("unreadable");
    }
    return QStringLiteral("missing");
}

} // namespace korvane::recorder
