#pragma once

#include "helpdecompiler/chmproject.h"
#include "platform/filesystem.h"

#include <QStringList>
#include <functional>

namespace korvane::helpdecompiler {

/// Which project files a decompile writes: the .hhp alone, or also the "完整工程"
/// (<project>.full.hhp with the help file's own options, windows and map).
enum class ProjectKind { Hhp, Full };

/// Where the window keeps the choice in korvane.ini: [Options] chm反编译工程=完整工程.
inline constexpr char kProjectKindSection[] = "Options";
inline constexpr char kProjectKindKey[] = "chm反编译工程";
/// The value that asks for the full project; anything else (or nothing) is the .hhp alone.
inline constexpr char kFullProjectValue[] = "完整工程";

/// The Windows name of a language, as the Workshop writes it after the LCID ("English (United
/// States)"); "" for one it does not know.
QString languageName(quint32 lcid);
/// The iconv name of the ANSI code page the LCID's language uses ("CP1252", "GBK", …). GBK for
/// LCID 0 (no language given): the program's own projects are Chinese.
const char* codePageOf(quint32 lcid);
/// Stored text of a help file as text: ASCII as it is, valid UTF-8 as UTF-8 (other compilers
/// store that), otherwise in the LCID's code page.
QString decodeStored(const std::string& bytes, quint32 lcid);

/// Everything the full project says. File names are text (paths relative to the output folder,
/// with "/"); the help file's own texts (title, font, window captions) keep their stored bytes,
/// so that each project file can write them in the encoding it needs.
struct FullProject {
    quint32 lcid = 0;
    bool hasLanguage = false;
    bool compatibility11 = true;
    bool fullTextSearch = false, binaryToc = false, binaryIndex = false;
    QString compiledFile;
    QString contentsFile, indexFile, defaultTopic; ///< "" leaves the line out
    std::string defaultWindow, defaultFont, title;
    std::vector<ChmWindow> windows; ///< file names in them already relative
    struct ContextId {
        QString name;
        quint32 id = 0;
        QString topic;
    };
    QList<ContextId> contextIds;
    QString header;          ///< the [MAP] header's name ("" without a map)
    QList<QByteArray> files; ///< pages, depth first, UTF-8 (as the extractor names them on disk)
};

/// How a project file writes names and texts.
struct ProjectEncoding {
    std::function<QByteArray(const QString&)> name;
    std::function<QByteArray(const std::string&)> text;
    /// chmcmd matches [ALIAS] topics against its page names, which use "/" (the Workshop "\\").
    bool aliasSlashes = false;
    /// The whole file is built in UTF-8 and converted to this code page once at the end (one
    /// converter for the file, not one a line); nullptr keeps the bytes as built.
    const char* codePage = nullptr;
};
/// The Workshop's: everything in the code page of the help file's language.
ProjectEncoding codePageEncoding(quint32 lcid);
/// chmcmd's: it reads bytes and finds pages by their names on disk, which are UTF-8; texts go
/// into the help file as they came out of it.
ProjectEncoding diskEncoding();

/// One [WINDOWS] line in the Workshop's syntax.
QByteArray windowLine(const ChmWindow& window, const ProjectEncoding& encoding);
/// The bytes of a full project file, CR LF, "\" between folders as the Workshop writes them.
QByteArray fullProjectBytes(const FullProject& project, const ProjectEncoding& encoding);

/// Reads the facts and the output folder into a FullProject. The compiled file's name falls back
/// to `helpFileName`; a missing contents or index file falls back to the default window's, then
/// to the rules of the .hhp.
FullProject fullProjectOf(platform::FileSystem& fs, const QByteArray& helpFileName, const QByteArray& projectName,
                          const platform::NativePath& outputFolder, const ChmProjectFacts& facts);

/// Writes <project>.full.hhp (and <project>.h with a map) in the code page the help file's
/// language names, CR LF. Where that text differs from UTF-8 (non-ASCII names or texts), also
/// <project>.full.utf8.hhp for compilers that read the project as bytes and find pages by
/// their UTF-8 names on disk.
platform::Status writeFullProject(platform::FileSystem& fs, const QByteArray& helpFileName,
                                  const QByteArray& projectName, const platform::NativePath& outputFolder,
                                  const ChmProjectFacts& facts);

} // namespace korvane::helpdecompiler
