#include "batchlist/batchlist.h"

#include "platform/nativepath.h"

#include <QLatin1StringView>
#include <algorithm>

namespace korvane::batchlist {

using platform::EntryKind;
using platform::NativePath;

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0, end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

NativePath trimSpaces(const NativePath& path)
{
    qsizetype begin = 0, end = path.size();
    while (begin < end && path.at(begin) == ' ')
        ++begin;
    while (end > begin && path.at(end - 1) == ' ')
        --end;
    return path.mid(begin, end - begin);
}

BatchEntry trimmed(const BatchEntry& entry)
{
    return {trimSpaces(entry.text), trimSpaces(entry.path)};
}

QStringList parseExtensions(const QString& list)
{
    QStringList result;
    for (const QString& part : list.split(QLatin1Char(';')))
        result << trimSpaces(part).toLower();
    return result;
}

namespace {

bool isAscii(const QByteArray& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return (uchar(c) & 0x80) == 0; });
}

bool isAscii(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

} // namespace

bool nameMatches(const QByteArray& name, const QStringList& extensions)
{
    // Most names are ASCII: compare their bytes in place. Others are decoded first, since a
    // GBK trail byte can look like an ASCII letter.
    const bool asciiName = isAscii(name);
    QString decoded;
    for (const QString& ext : extensions) {
        if (asciiName && isAscii(ext)) {
            if (QLatin1StringView(name).endsWith(ext, Qt::CaseInsensitive))
                return true;
            continue;
        }
        if (decoded.isNull())
            decoded = platform::displayPath(name);
        if (decoded.size() >= ext.size() && decoded.right(ext.size()).toLower() == ext)
            return true;
    }
    return false;
}

BatchList::AddResult BatchList::add(BatchEntry entry)
{
    if (m_paths.contains(entry.path))
        return AddResult::Duplicate;
    if (isFull())
        return AddResult::Full;
    m_paths.insert(entry.path);
    m_entries.push_back(std::move(entry));
    return AddResult::Added;
}

void BatchList::removeAt(int index)
{
    if (index < 0 || index >= size())
        return;
    m_paths.remove(m_entries[size_t(index)].path);
    m_entries.erase(m_entries.begin() + index);
}

void BatchList::clear()
{
    m_entries.clear();
    m_paths.clear();
}

// The design calls this routine dieda.
WalkResult addMatchingFiles(platform::FileSystem& fs, const NativePath& folder, const QStringList& extensions,
                            BatchList& list, platform::RunControl* control)
{
    WalkResult result;
    QSet<QPair<quint64, quint64>> visited;
    // An explicit stack keeps very deep trees from exhausting the call stack; pushing the
    // subfolders in reverse keeps the recursive order.
    std::vector<NativePath> pending{folder};
    if (control)
        control->addToTotal(1);
    while (!pending.empty()) {
        if (control && control->stopRequested()) {
            result.stopped = true;
            return result;
        }
        const NativePath current = std::move(pending.back());
        pending.pop_back();
        if (control) {
            control->begin(platform::displayPath(current));
            control->advance();
        }
        if (const auto info = fs.info(current)) {
            if (visited.contains({info->device, info->inode}))
                continue;
            visited.insert({info->device, info->inode});
        }
        const auto entries = fs.list(current);
        if (!entries) {
            ++result.unreadableFolders;
            continue;
        }
        for (const platform::DirEntry& entry : *entries) {
            if (entry.kind != EntryKind::File || !nameMatches(entry.name, extensions))
                continue;
            const NativePath path = platform::joinPath(current, entry.name);
            if (list.contains(path))
                continue;
            if (list.isFull()) {
                result.limitReached = true;
                return result;
            }
            list.add({platform::displayPath(path), path});
            ++result.added;
        }
        const size_t firstChild = pending.size();
        for (const platform::DirEntry& entry : *entries) {
            if (entry.kind == EntryKind::Folder && !entry.isSymlink)
                pending.push_back(platform::joinPath(current, entry.name));
        }
        std::reverse(pending.begin() + qsizetype(firstChild), pending.end());
        if (control)
            control->addToTotal(qint64(pending.size() - firstChild));
    }
    if (control)
        control->totalIsFinal();
    return result;
}

std::optional<FolderCounts> countEntries(platform::FileSystem& fs, const NativePath& folder)
{
    const auto entries = fs.list(folder);
    if (!entries)
        return std::nullopt;
    FolderCounts counts;
    for (const platform::DirEntry& entry : *entries) {
        if (entry.kind == EntryKind::File)
            ++counts.files;
        else if (entry.kind == EntryKind::Folder && !entry.isSymlink)
            ++counts.subFolders;
    }
    return counts;
}

} // namespace korvane::batchlist
