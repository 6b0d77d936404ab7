#include "helpdecompiler/helpproject.h"

#include "platform/nativepath.h"

#include <algorithm>
#include <optional>

namespace korvane::helpdecompiler {

namespace {

using platform::DirEntry;
using platform::EntryKind;
using platform::NativePath;

bool isFile(const DirEntry& entry)
{
    return entry.kind == EntryKind::File;
}

/// A file of the listing by name. Help files come from a case-insensitive system, so when no
/// file has exactly this name, one that differs only in ASCII case counts; the name on disk
/// is returned, which is what a compiler on a case-sensitive system needs.
std::optional<QByteArray> fileNamed(const std::vector<DirEntry>& listing, const QByteArray& name)
{
    for (const DirEntry& entry : listing) {
        if (isFile(entry) && entry.name == name)
            return entry.name;
    }
    for (const DirEntry& entry : listing) {
        if (isFile(entry) && entry.name.compare(name, Qt::CaseInsensitive) == 0)
            return entry.name;
    }
    return std::nullopt;
}

/// The contents or index file: "<stem><ext>", else the first file matching "*.<ext>".
QString companionFile(const std::vector<DirEntry>& listing, const QByteArray& stem, const QByteArray& extension)
{
    if (const auto named = fileNamed(listing, stem + extension))
        return platform::displayPath(*named);
    const QByteArray suffix = '.' + extension;
    for (const DirEntry& entry : listing) {
        if (isFile(entry) && entry.name.size() > suffix.size() &&
            entry.name.right(suffix.size()).compare(suffix, Qt::CaseInsensitive) == 0)
            return platform::displayPath(entry.name);
    }
    return {};
}

bool fitsOnOneLine(const QByteArray& name)
{
    return std::none_of(name.begin(), name.end(), [](char c) { return c == '\n' || c == '\r'; });
}

/// Appends the folder's own files in listing order, then each subfolder's the same way.
/// The design calls this routine dieda.
void appendProjectFiles(platform::FileSystem& fs, const NativePath& folder, const QByteArray& relative,
                        QStringList& lines)
{
    const auto listing = fs.list(folder);
    if (!listing)
        return; // an unreadable subfolder contributes nothing, as the walk goes on
    for (const DirEntry& entry : *listing) {
        if (isFile(entry) && fitsOnOneLine(entry.name))
            lines.append(platform::displayPath(relative + entry.name));
    }
    for (const DirEntry& entry : *listing) {
        if (entry.kind == EntryKind::Folder && !entry.isSymlink && fitsOnOneLine(entry.name))
            appendProjectFiles(fs, platform::joinPath(folder, entry.name), relative + entry.name + '/', lines);
    }
}

} // namespace

QStringList helpProjectLines(const QString& helpFileName, const HelpProjectContent& content)
{
    QStringList lines{QStringLiteral("[OPTIONS]"), QStringLiteral("Compatibility=1.1 or later"), QString(),
                      QStringLiteral("Compiled file=") + helpFileName,
                      QStringLiteral("Contents file=") + content.contentsFile};
    if (!content.defaultTopic.isEmpty())
        lines.append(QStringLiteral("Default topic=") + content.defaultTopic);
    lines << QStringLiteral("Display compile progress=No") << QStringLiteral("Index file=") + content.indexFile
          << QStringLiteral("Language=0x804 中文(中国)") << QString() << QStringLiteral("[FILES]");
    lines += content.files;
    lines.append(QStringLiteral("[INFOTYPES]"));
    return lines;
}

platform::Status writeHelpProject(platform::FileSystem& fs, const QByteArray& helpFileName,
                                  const QByteArray& projectName, const platform::NativePath& outputFolder)
{
    const NativePath path = platform::joinPath(outputFolder, projectName + ".hhp");
    const QString compiledFile = platform::displayPath(helpFileName);
    // The project file exists before the folder is listed, so it lists itself.
    HelpProjectContent content;
    const QStringList head = helpProjectLines(compiledFile, content).mid(0, 4);
    if (const auto status = platform::writeTextFile(fs, path, head, platform::TextEncoding::Gbk); !status.ok())
        return status;

    const auto listing = fs.list(outputFolder);
    if (!listing)
        return listing.status();
    const QByteArray stem = helpFileName.chopped(3); // "guide.old.chm" -> "guide.old."
    content.contentsFile = companionFile(*listing, stem, "hhc");
    if (const auto topic = fileNamed(*listing, stem + "htm"))
        content.defaultTopic = platform::displayPath(*topic);
    else if (const auto home = fileNamed(*listing, QByteArray("主页.htm")))
        content.defaultTopic = platform::displayPath(*home);
    else if (const auto index = fileNamed(*listing, "index.htm"))
        content.defaultTopic = platform::displayPath(*index);
    content.indexFile = companionFile(*listing, stem, "hhk");
    appendProjectFiles(fs, outputFolder, {}, content.files);
    return platform::writeTextFile(fs, path, helpProjectLines(compiledFile, content), platform::TextEncoding::Gbk);
}

} // namespace korvane::helpdecompiler
