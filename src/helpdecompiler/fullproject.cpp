#include "helpdecompiler/fullproject.h"

#include "platform/nativepath.h"

#include <QHash>
#include <algorithm>
#include <optional>

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
QList<QByteArray> projectFileNames(const QByteArray& projectName)
{
    return {projectName + ".hhp", projectName + ".full.hhp", projectName + ".full.utf8.hhp", projectName + ".h",
            "_#_README_#_"};
}

/// A name as UTF-8: names the extractor writes are UTF-8 already; others are shown as the user sees them.
QByteArray utf8Name(const QByteArray& name)
{
    const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
    return ascii ? name : platform::displayPath(name).toUtf8();
}

bool isAscii(const QByteArray& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; });
}

/// UTF-8 text in a code page (nullptr: as it is). A character the code page cannot hold becomes
/// "?", as a Windows ANSI write does.
QByteArray inCodePage(const QByteArray& utf8, const char* codePage)
{
    if (!codePage || isAscii(utf8))
        return utf8; // every code page here holds ASCII as it is
    const QByteArray name = QByteArray(codePage) + "//TRANSLIT";
    return platform::encodeText(QString::fromUtf8(utf8), name.constData()).value_or(utf8);
}

/// True when the disk copy would say what the Workshop's UTF-8 text says: every stored text is
/// UTF-8 already and no [ALIAS] topic has a folder.
bool diskCopyIsWorkshopText(const FullProject& p)
{
    const auto utf8 = [](const std::string& s) { return platform::isValidUtf8(QByteArray::fromStdString(s)); };
    if (!utf8(p.title) || !utf8(p.defaultFont) || !utf8(p.defaultWindow))
        return false;
    for (const ChmWindow& w : p.windows) {
        if (!utf8(w.name) || !utf8(w.caption) || !utf8(w.jump1Text) || !utf8(w.jump2Text))
            return false;
    }
    return std::none_of(p.contextIds.begin(), p.contextIds.end(),
                        [](const FullProject::ContextId& c) { return c.topic.contains(QLatin1Char('/')); });
}

bool fitsOnOneLine(const QByteArray& name)
{
    return std::none_of(name.begin(), name.end(), [](char c) { return c == '\n' || c == '\r'; });
}

/// Pages below a folder, each folder's files (sorted, so projects compare) before its subfolders.
void listPages(platform::FileSystem& fs, const NativePath& folder, const QByteArray& relative, QList<QByteArray>& pages,
               int depth)
{
    auto listing = fs.list(folder);
    if (!listing || depth > 64)
        return;
    std::vector<DirEntry>& entries = *listing;
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    for (const DirEntry& entry : entries) {
        if (entry.kind == EntryKind::File && fitsOnOneLine(entry.name))
            pages.append(relative + entry.name);
    }
    for (const DirEntry& entry : entries) {
        if (entry.kind == EntryKind::Folder && !entry.isSymlink && fitsOnOneLine(entry.name) &&
            entry.name != ".korvane")
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

/// The page a context ID opens, with its "#" anchor; nullopt when it names no page. Some
/// compilers store the compiling machine's absolute path: the longest tail of it that names a
/// page (by lower-cased name) is taken.
std::optional<QString> contextTopic(const QString& stored, const QHash<QString, QString>& pages)
{
    const QString name = relativeName(stored);
    const qsizetype hash = name.indexOf(QLatin1Char('#'));
    const QString anchor = hash < 0 ? QString() : name.mid(hash);
    const QStringList parts = name.left(hash < 0 ? name.size() : hash).split(QLatin1Char('/'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const auto page = pages.constFind(parts.mid(i).join(QLatin1Char('/')).toLower());
        if (page != pages.cend())
            return *page + anchor;
    }
    return std::nullopt;
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
    case 0x1404: return "CP950";
    case 0x804:
    case 0x1004: return "GBK";
    default: break;
    }
    switch (lcid & 0x3FF) { // the primary language
    case 0x11: return "CP932";
    case 0x12: return "CP949";
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
    case 0x08: return "CP1253";
    case 0x1F: return "CP1254";
    case 0x0D: return "CP1255";
    case 0x01: return "CP1256";
    case 0x25:
    case 0x26:
    case 0x27: return "CP1257";
    case 0x2A: return "CP1258";
    case 0x1E: return "CP874";
    case 0x00: return "GBK";
    default: return "CP1252"; // Western European, and the languages without an ANSI code page of their own
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

ProjectEncoding codePageEncoding(quint32 lcid)
{
    return {[](const QString& name) { return name.toUtf8(); },
            [lcid](const std::string& bytes) { return decodeStored(bytes, lcid).toUtf8(); }, false, codePageOf(lcid)};
}

ProjectEncoding diskEncoding()
{
    return {[](const QString& name) { return name.toUtf8(); },
            [](const std::string& bytes) { return QByteArray::fromStdString(bytes); }, true, nullptr};
}

namespace {

/// A value on one line of the project: control characters from a hostile table would start
/// lines of their own, and a quote would end a quoted field early.
QByteArray oneLine(QByteArray value, bool quotedField = false)
{
    for (char& c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || (quotedField && c == '"'))
            c = ' ';
    }
    return value;
}

QByteArray hexBytes(quint32 value)
{
    return "0x" + QByteArray::number(value, 16).toUpper();
}

} // namespace

QByteArray windowLine(const ChmWindow& w, const ProjectEncoding& encoding)
{
    const auto quotedText = [&encoding](const std::string& text) {
        return text.empty() ? QByteArray() : '"' + oneLine(encoding.text(text), true) + '"';
    };
    const auto quotedName = [&encoding](const std::string& name) {
        if (name.empty())
            return QByteArray();
        return '"' + oneLine(encoding.name(projectPath(decodeStored(name, 0), true)), true) + '"';
    };
    // A number the definition marks as set is written even when 0; an unset 0 stays empty, as
    // the Workshop leaves it.
    const auto field = [&w](quint32 value, quint32 validBit, bool hex) {
        if (value == 0 && (w.validMembers & validBit) == 0)
            return QByteArray();
        return hex ? hexBytes(value) : QByteArray::number(value);
    };
    const bool hasPosition = (w.validMembers & 0x10) != 0 ||
                             std::any_of(std::begin(w.position), std::end(w.position), [](qint32 v) { return v != 0; });
    const QByteArray position =
        hasPosition ? '[' + QByteArray::number(w.position[0]) + ',' + QByteArray::number(w.position[1]) + ',' +
                          QByteArray::number(w.position[2]) + ',' + QByteArray::number(w.position[3]) + ']'
                    : QByteArray();
    const QList<QByteArray> fields{
        quotedText(w.caption), quotedName(w.contentsFile), quotedName(w.indexFile), quotedName(w.defaultFile),
        quotedName(w.homeFile), quotedName(w.jump1Url), quotedText(w.jump1Text), quotedName(w.jump2Url),
        quotedText(w.jump2Text), field(w.properties, 0x2, true), field(w.navigationWidth, 0x20, false),
        field(w.buttons, 0x100, true), position, field(w.style, 0x4, true), field(w.extendedStyle, 0x8, true),
        field(w.showState, 0x40, false), field(w.navigationClosed, 0x200, false), field(w.defaultPane, 0x2000, false),
        // The Workshop marks the tab position as set in every
        // definition; it writes it only when it is not the default.
        w.tabPosition ? QByteArray::number(w.tabPosition) : QByteArray(), QByteArray::number(w.notifyId)};
    QByteArray name = oneLine(encoding.text(w.name));
    name.replace('=', ' ');
    return name + '=' + fields.join(',');
}

QByteArray fullProjectBytes(const FullProject& p, const ProjectEncoding& encoding)
{
    QList<QByteArray> lines{"[OPTIONS]", p.compatibility11 ? "Compatibility=1.1 or later" : "Compatibility=1.0",
                            "Compiled file=" + oneLine(encoding.name(p.compiledFile))};
    const auto name = [&lines, &encoding](const char* key, const QString& value) {
        if (!value.isEmpty())
            lines.append(QByteArray(key) + '=' + oneLine(encoding.name(projectPath(value, true))));
    };
    const auto text = [&lines, &encoding](const char* key, const std::string& value) {
        if (!value.empty())
            lines.append(QByteArray(key) + '=' + oneLine(encoding.text(value)));
    };
    name("Contents file", p.contentsFile);
    name("Index file", p.indexFile);
    name("Default topic", p.defaultTopic);
    text("Default Window", p.defaultWindow);
    text("Default Font", p.defaultFont);
    const auto yesNo = [](bool value) { return value ? QByteArray("Yes") : QByteArray("No"); };
    lines << "Full-text search=" + yesNo(p.fullTextSearch) << "Binary TOC=" + yesNo(p.binaryToc)
          << "Binary Index=" + yesNo(p.binaryIndex);
    if (p.hasLanguage && p.lcid != 0) {
        const QString language = languageName(p.lcid);
        lines.append("Language=0x" + QByteArray::number(p.lcid, 16) +
                     (language.isEmpty() ? QByteArray() : ' ' + language.toLatin1()));
    }
    text("Title", p.title);
    if (!p.windows.empty()) {
        lines << QByteArray() << "[WINDOWS]";
        for (const ChmWindow& window : p.windows)
            lines.append(windowLine(window, encoding));
    }
    if (!p.contextIds.isEmpty()) {
        lines << QByteArray() << "[ALIAS]";
        for (const FullProject::ContextId& c : p.contextIds)
            lines.append(c.name.toLatin1() + '=' +
                         oneLine(encoding.name(projectPath(c.topic, !encoding.aliasSlashes))));
        lines << QByteArray() << "[MAP]"
              << "#include " + encoding.name(p.header);
    }
    lines << QByteArray() << "[FILES]";
    for (QByteArray file : p.files)
        lines.append(file.replace('/', '\\'));
    lines << QByteArray() << "[INFOTYPES]";
    return inCodePage(lines.join("\r\n") + "\r\n", encoding.codePage);
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
    p.title = facts.title;
    p.defaultWindow = facts.defaultWindow;
    p.defaultFont = facts.defaultFont;
    p.contentsFile = relativeName(text(facts.contentsFile));
    p.indexFile = relativeName(text(facts.indexFile));
    p.defaultTopic = relativeName(text(facts.defaultTopic));

    const ChmWindow* main = nullptr;
    for (const ChmWindow& window : facts.windows) {
        if (!main || window.name == facts.defaultWindow)
            main = &window;
        ChmWindow relative = window;
        for (std::string* file : {&relative.contentsFile, &relative.indexFile, &relative.defaultFile,
                                  &relative.homeFile, &relative.jump1Url, &relative.jump2Url}) {
            if (!file->empty())
                *file = relativeName(text(*file)).toStdString();
        }
        p.windows.push_back(std::move(relative));
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
    QHash<QString, QString> pageNames; // lower-cased -> as on disk; only a map needs them
    for (qsizetype i = 0; !facts.contextIds.empty() && i < pages.size(); ++i) {
        const QString name = platform::displayPath(pages[i]);
        pageNames.insert(name.toLower(), name);
    }
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

    // An alias that opens no page is left out: it would only stop the compiler.
    for (const ChmContextId& c : facts.contextIds) {
        if (std::optional<QString> topic = contextTopic(text(c.topic), pageNames))
            p.contextIds.append({QStringLiteral("IDH_%1").arg(c.id), c.id, std::move(*topic)});
    }
    if (!p.contextIds.isEmpty())
        p.header = platform::displayPath(projectName) + QStringLiteral(".h");

    // The compiler adds the contents and index files itself; the Workshop's projects leave them out.
    QList<QByteArray> left = projectFileNames(projectName);
    left << p.contentsFile.toUtf8() << p.indexFile.toUtf8();
    for (const QByteArray& page : pages) {
        QByteArray name = utf8Name(page);
        if (!left.contains(name) && !page.startsWith(".korvane"))
            p.files.append(std::move(name));
    }
    return p;
}

platform::Status writeFullProject(platform::FileSystem& fs, const QByteArray& helpFileName,
                                  const QByteArray& projectName, const NativePath& outputFolder,
                                  const ChmProjectFacts& facts)
{
    const FullProject project = fullProjectOf(fs, helpFileName, projectName, outputFolder, facts);
    const ProjectEncoding workshop = codePageEncoding(facts.lcid);
    if (!project.header.isEmpty()) {
        QByteArray header;
        for (const FullProject::ContextId& c : project.contextIds)
            header += "#define " + c.name.toLatin1() + ' ' + QByteArray::number(c.id) + "\r\n";
        if (const auto status = fs.writeFile(platform::joinPath(outputFolder, projectName + ".h"), header);
            !status.ok())
            return status;
    }
    // Built once in UTF-8; the copy for chmcmd is built only when it can differ from that.
    ProjectEncoding utf8Workshop = workshop;
    utf8Workshop.codePage = nullptr;
    const QByteArray text = fullProjectBytes(project, utf8Workshop);
    const QByteArray bytes = inCodePage(text, workshop.codePage);
    if (const auto status = fs.writeFile(platform::joinPath(outputFolder, projectName + ".full.hhp"), bytes);
        !status.ok())
        return status;
    const QByteArray disk =
        bytes == text && diskCopyIsWorkshopText(project) ? bytes : fullProjectBytes(project, diskEncoding());
    const NativePath diskPath = platform::joinPath(outputFolder, projectName + ".full.utf8.hhp");
    if (disk == bytes) {
        if (fs.fileExists(diskPath))
            return fs.deleteFile(diskPath, true); // left from an earlier decompile: it would be stale
        return platform::Status::success();
    }
    return fs.writeFile(diskPath, disk);
}

} // namespace korvane::helpdecompiler
