#include "helpdecompiler/fullproject.h"

#include "platform/nativepath.h"

#include <QSet>
#include <algorithm>

namespace korvane::helpdecompiler {

namespace {

using platform::DirEntry;
using platform::EntryKind;
using platform::NativePath;

struct Language {
    quint32 lcid;
    const char* name;
};

// The languages help files are written in, named as Windows names them in the Workshop.
const Language kLanguages[] = {
    {0x401, "Arabic (Saudi Arabia)"},
    {0x402, "Bulgarian"},
    {0x403, "Catalan"},
    {0x404, "Chinese (Traditional/Taiwan)"},
    {0x405, "Czech"},
    {0x406, "Danish"},
    {0x407, "German (Germany)"},
    {0x408, "Greek"},
    {0x409, "English (United States)"},
    {0x40A, "Spanish (Traditional Sort)"},
    {0x40B, "Finnish"},
    {0x40C, "French (France)"},
    {0x40D, "Hebrew"},
    {0x40E, "Hungarian"},
    {0x40F, "Icelandic"},
    {0x410, "Italian (Italy)"},
    {0x411, "Japanese"},
    {0x412, "Korean"},
    {0x413, "Dutch (Netherlands)"},
    {0x414, "Norwegian (Bokmal)"},
    {0x415, "Polish"},
    {0x416, "Portuguese (Brazil)"},
    {0x418, "Romanian"},
    {0x419, "Russian"},
    {0x41A, "Croatian"},
    {0x41B, "Slovak"},
    {0x41D, "Swedish"},
    {0x41E, "Thai"},
    {0x41F, "Turkish"},
    {0x422, "Ukrainian"},
    {0x424, "Slovenian"},
    {0x425, "Estonian"},
    {0x426, "Latvian"},
    {0x427, "Lithuanian"},
    {0x42A, "Vietnamese"},
    {0x804, "Chinese (Simplified/PRC)"},
    {0x807, "German (Switzerland)"},
    {0x809, "English (United Kingdom)"},
    {0x80A, "Spanish (Mexico)"},
    {0x80C, "French (Belgium)"},
    {0x816, "Portuguese (Portugal)"},
    {0xC04, "Chinese (Traditional/Hong Kong S.A.R.)"},
    {0xC07, "German (Austria)"},
    {0xC09, "English (Australia)"},
    {0xC0A, "Spanish (International Sort)"},
    {0xC0C, "French (Canada)"},
    {0x1004, "Chinese (Simplified/Singapore)"},
    {0x1009, "English (Canada)"},
    {0x1404, "Chinese (Traditional/Macao S.A.R.)"},
};

/// Names that are ours or the other compiler's, not the help file's pages.
bool isProjectFileName(const QByteArray& name, const QByteArray& projectName)
{
    return name == projectName + ".hhp" || name == projectName + ".full.hhp" ||
           name == projectName + ".full.utf8.hhp" || name == projectName + ".h" || name == "_#_README_#_";
}

bool fitsOnOneLine(const QByteArray& name)
{
    return std::none_of(name.begin(), name.end(), [](char c) { return c == '\n' || c == '\r'; });
}

/// Pages below a folder, each folder's files (sorted, so projects compare) before its subfolders.
void listPages(platform::FileSystem& fs, const NativePath& folder, const QByteArray& relative,
               QList<QByteArray>& pages, int depth)
{
    auto listing = fs.list(folder);
    if (!listing || depth > 64)
        return;
    std::vector<DirEntry> entries = *listing;
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    for (const DirEntry& entry : entries) {
        if (entry.kind == EntryKind::File && fitsOnOneLine(entry.name))
            pages.append(relative + entry.name);
    }
    for (const DirEntry& entry : entries) {
        if (entry.kind == EntryKind::Folder && !entry.isSymlink && fitsOnOneLine(entry.name) && entry.name != ".korvane")
            listPages(fs, platform::joinPath(folder, entry.name), relative + entry.name + '/', pages, depth + 1);
    }
}

/// A name of the project as a file under the output folder: "\" becomes "/", a leading "/" goes.
QString relativeName(QString name)
{
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (name.startsWith(QLatin1Char('/')))
        name.remove(0, 1);
    return name;
}

/// The page a context ID opens. Some compilers store the compiling machine's absolute path:
/// the longest tail of it that names a page is taken.
QString contextTopic(const QString& stored, const QSet<QString>& pages)
{
    const QString name = relativeName(stored);
    const QStringList parts = name.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString tail = parts.mid(i).join(QLatin1Char('/'));
        for (const QString& page : pages) {
            if (page.compare(tail, Qt::CaseInsensitive) == 0)
                return page;
        }
    }
    return name;
}

QString quoted(const QString& text)
{
    return text.isEmpty() ? QString() : QLatin1Char('"') + text + QLatin1Char('"');
}

QString hexNumber(quint32 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper();
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("Yes") : QStringLiteral("No");
}

/// The text written for a file name of the project.
QString projectPath(const QString& name, bool backslashes)
{
    QString path = name;
    if (backslashes)
        path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return path;
}

} // namespace

QString languageName(quint32 lcid)
{
    for (const Language& language : kLanguages) {
        if (language.lcid == lcid)
            return QString::fromLatin1(language.name);
    }
    return {};
}

const char* codePageOf(quint32 lcid)
{
    switch (lcid) {
    case 0x404:
    case 0xC04:
    case 0x1404:
        return "CP950";
    case 0x804:
    case 0x1004:
        return "GBK";
    default:
        break;
    }
    switch (lcid & 0x3FF) { // the primary language
    case 0x11:
        return "CP932";
    case 0x12:
        return "CP949";
    case 0x02: // Bulgarian
    case 0x19: // Russian
    case 0x22: // Ukrainian
    case 0x23: // Belarusian
    case 0x2F: // Macedonian
        return "CP1251";
    case 0x05: // Czech
    case 0x0E: // Hungarian
    case 0x15: // Polish
    case 0x18: // Romanian
    case 0x1A: // Croatian
    case 0x1B: // Slovak
    case 0x1C: // Albanian
    case 0x24: // Slovenian
        return "CP1250";
    case 0x08:
        return "CP1253";
    case 0x1F:
        return "CP1254";
    case 0x0D:
        return "CP1255";
    case 0x01:
        return "CP1256";
    case 0x25:
    case 0x26:
    case 0x27:
        return "CP1257";
    case 0x2A:
        return "CP1258";
    case 0x1E:
        return "CP874";
    case 0x00:
        return "GBK";
    default:
        return languageName(lcid).isEmpty() && (lcid & 0x3FF) > 0x2A ? "GBK" : "CP1252";
    }
}

QString decodeStored(const std::string& bytes, quint32 lcid)
{
    const QByteArray raw = QByteArray::fromStdString(bytes);
    if (platform::isValidUtf8(raw))
        return QString::fromUtf8(raw); // ASCII included
    if (const auto text = platform::decodeText(raw, codePageOf(lcid)))
        return *text;
    if (const auto text = platform::decodeText(raw, "GB18030"))
        return *text;
    return QString::fromLatin1(raw);
}

QString windowLine(const ChmWindow& w, const std::function<QString(const std::string&)>& text)
{
    // A number the definition marks as set is written even when 0; an unset 0 stays empty, as
    // the Workshop leaves it.
    const auto field = [&w](quint32 value, quint32 validBit, bool hex) {
        if (value == 0 && (w.validMembers & validBit) == 0)
            return QString();
        return hex ? hexNumber(value) : QString::number(value);
    };
    const bool hasPosition = (w.validMembers & 0x10) != 0 ||
                             std::any_of(std::begin(w.position), std::end(w.position), [](qint32 v) { return v != 0; });
    const QString position = hasPosition ? QStringLiteral("[%1,%2,%3,%4]")
                                               .arg(w.position[0])
                                               .arg(w.position[1])
                                               .arg(w.position[2])
                                               .arg(w.position[3])
                                         : QString();
    const QStringList fields{quoted(text(w.caption)),
                             quoted(text(w.contentsFile)),
                             quoted(text(w.indexFile)),
                             quoted(text(w.defaultFile)),
                             quoted(text(w.homeFile)),
                             quoted(text(w.jump1Url)),
                             quoted(text(w.jump1Text)),
                             quoted(text(w.jump2Url)),
                             quoted(text(w.jump2Text)),
                             field(w.properties, 0x2, true),
                             field(w.navigationWidth, 0x20, false),
                             field(w.buttons, 0x100, true),
                             position,
                             field(w.style, 0x4, true),
                             field(w.extendedStyle, 0x8, true),
                             field(w.showState, 0x40, false),
                             field(w.navigationClosed, 0x200, false),
                             field(w.defaultPane, 0x2000, false),
                             // The Workshop marks the tab position as set in every definition; it
                             // writes it only when it is not the default.
                             w.tabPosition ? QString::number(w.tabPosition) : QString(),
                             QString::number(w.notifyId)};
    return text(w.name) + QLatin1Char('=') + fields.join(QLatin1Char(','));
}

QStringList fullProjectLines(const FullProject& p, bool backslashes)
{
    QStringList lines{QStringLiteral("[OPTIONS]"),
                      QStringLiteral("Compatibility=") +
                          (p.compatibility11 ? QStringLiteral("1.1 or later") : QStringLiteral("1.0")),
                      QStringLiteral("Compiled file=") + p.compiledFile};
    const auto add = [&lines](const char* key, const QString& value) {
        if (!value.isEmpty())
            lines.append(QString::fromLatin1(key) + QLatin1Char('=') + value);
    };
    add("Contents file", projectPath(p.contentsFile, backslashes));
    add("Index file", projectPath(p.indexFile, backslashes));
    add("Default topic", projectPath(p.defaultTopic, backslashes));
    add("Default Window", p.defaultWindow);
    add("Default Font", p.defaultFont);
    lines << QStringLiteral("Full-text search=") + yesNo(p.fullTextSearch)
          << QStringLiteral("Binary TOC=") + yesNo(p.binaryToc) << QStringLiteral("Binary Index=") + yesNo(p.binaryIndex);
    if (p.hasLanguage && p.lcid != 0) {
        const QString name = languageName(p.lcid);
        lines.append(QStringLiteral("Language=0x") + QString::number(p.lcid, 16) +
                     (name.isEmpty() ? QString() : QLatin1Char(' ') + name));
    }
    add("Title", p.title);
    if (!p.windows.isEmpty())
        lines << QString() << QStringLiteral("[WINDOWS]") << p.windows;
    if (!p.contextIds.isEmpty()) {
        lines << QString() << QStringLiteral("[ALIAS]");
        for (const FullProject::ContextId& c : p.contextIds)
            lines.append(c.name + QLatin1Char('=') + projectPath(c.topic, backslashes));
        lines << QString() << QStringLiteral("[MAP]") << QStringLiteral("#include ") + p.header;
    }
    lines << QString() << QStringLiteral("[FILES]");
    for (const QString& file : p.files)
        lines.append(projectPath(file, backslashes));
    lines << QString() << QStringLiteral("[INFOTYPES]");
    return lines;
}

QStringList mapHeaderLines(const FullProject& project)
{
    QStringList lines;
    for (const FullProject::ContextId& c : project.contextIds)
        lines.append(QStringLiteral("#define %1 %2").arg(c.name).arg(c.id));
    return lines;
}

FullProject fullProjectOf(platform::FileSystem& fs, const QByteArray& helpFileName, const QByteArray& projectName,
                          const NativePath& outputFolder, const ChmProjectFacts& facts)
{
    const auto text = [&facts](const std::string& bytes) { return decodeStored(bytes, facts.lcid); };
    FullProject p;
    p.compiledFile = facts.compiledFile.empty() ? platform::displayPath(helpFileName) : text(facts.compiledFile);
    if (!p.compiledFile.contains(QLatin1Char('.')))
        p.compiledFile += QStringLiteral(".chm"); // the record holds the name without its extension
    p.compatibility11 = !facts.hasSystem || facts.systemVersion >= 3;
    p.fullTextSearch = facts.fullTextSearch;
    p.binaryToc = facts.binaryToc;
    p.binaryIndex = facts.binaryIndex;
    p.hasLanguage = facts.hasLanguage;
    p.lcid = facts.lcid;
    p.title = text(facts.title);
    p.defaultWindow = text(facts.defaultWindow);
    p.defaultFont = text(facts.defaultFont);
    p.contentsFile = relativeName(text(facts.contentsFile));
    p.indexFile = relativeName(text(facts.indexFile));
    p.defaultTopic = relativeName(text(facts.defaultTopic));

    const ChmWindow* main = nullptr;
    for (const ChmWindow& window : facts.windows) {
        p.windows.append(windowLine(window, text));
        if (!main || window.name == facts.defaultWindow)
            main = &window;
    }
    // The Workshop keeps the contents and index files in the window alone when a window names them.
    if (main) {
        if (p.contentsFile.isEmpty())
            p.contentsFile = relativeName(text(main->contentsFile));
        if (p.indexFile.isEmpty())
            p.indexFile = relativeName(text(main->indexFile));
        if (p.defaultTopic.isEmpty())
            p.defaultTopic = relativeName(text(main->defaultFile));
    }

    QList<QByteArray> pages;
    listPages(fs, outputFolder, {}, pages, 0);
    QSet<QString> pageNames;
    for (const QByteArray& page : pages)
        pageNames.insert(platform::displayPath(page));
    // Without a record, the first .hhc or .hhk of the folder, as the .hhp finds them.
    const auto firstWith = [&pages](const char* suffix) {
        for (const QByteArray& page : pages) {
            if (!page.contains('/') && page.toLower().endsWith(suffix))
                return platform::displayPath(page);
        }
        return QString();
    };
    if (p.contentsFile.isEmpty())
        p.contentsFile = firstWith(".hhc");
    if (p.indexFile.isEmpty())
        p.indexFile = firstWith(".hhk");

    for (const ChmContextId& c : facts.contextIds) {
        p.contextIds.append({QStringLiteral("IDH_%1").arg(c.id), c.id, contextTopic(text(c.topic), pageNames)});
    }
    if (!p.contextIds.isEmpty())
        p.header = platform::displayPath(projectName) + QStringLiteral(".h");

    // The compiler adds the contents and index files itself; the Workshop's projects leave them out.
    for (const QByteArray& page : pages) {
        const QString name = platform::displayPath(page);
        if (isProjectFileName(page, projectName) || name == p.contentsFile || name == p.indexFile ||
            page.startsWith(".korvane"))
            continue;
        p.files.append(name);
    }
    return p;
}

platform::Status writeFullProject(platform::FileSystem& fs, const QByteArray& helpFileName,
                                  const QByteArray& projectName, const NativePath& outputFolder,
                                  const ChmProjectFacts& facts)
{
    const FullProject project = fullProjectOf(fs, helpFileName, projectName, outputFolder, facts);
    const QByteArray codePage = QByteArray(codePageOf(facts.lcid)) + "//TRANSLIT";
    const auto encoded = [&codePage](const QStringList& lines) {
        const QString text = lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
        // A character the code page cannot hold becomes "?", as a Windows ANSI write does.
        return platform::encodeText(text, codePage.constData()).value_or(text.toLatin1());
    };
    if (!project.header.isEmpty()) {
        const QStringList header = mapHeaderLines(project);
        if (const auto status = fs.writeFile(platform::joinPath(outputFolder, projectName + ".h"), encoded(header));
            !status.ok())
            return status;
    }
    const QStringList lines = fullProjectLines(project, true);
    const QByteArray bytes = encoded(lines);
    if (const auto status = fs.writeFile(platform::joinPath(outputFolder, projectName + ".full.hhp"), bytes);
        !status.ok())
        return status;
    const QStringList utf8Lines = fullProjectLines(project, false);
    const QByteArray utf8 = (utf8Lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
    const NativePath utf8Path = platform::joinPath(outputFolder, projectName + ".full.utf8.hhp");
    if (utf8 == encoded(utf8Lines)) {
        if (fs.fileExists(utf8Path))
            return fs.deleteFile(utf8Path, true); // left from an earlier decompile: it would be stale
        return platform::Status::success();
    }
    return fs.writeFile(utf8Path, utf8);
}

} // namespace korvane::helpdecompiler
