#pragma once
// What a compiled help file knows about the project it was compiled from: the #SYSTEM
// records, the window definitions of #WINDOWS and the context-ID map of #IVB, with their
// strings in #STRINGS. Standard library only: the tables are read and parsed inside the
// extraction helper, where a hostile table can fail that one process at worst.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace korvane::helpdecompiler {

/// One window definition. Texts are the stored bytes (the code page of the help file's
/// language, or UTF-8); "" when the definition has none.
struct ChmWindow {
    std::string name, caption, contentsFile, indexFile, defaultFile, homeFile;
    std::string jump1Url, jump1Text, jump2Url, jump2Text;
    std::uint32_t validMembers = 0; ///< which of the numbers below were set (HHWIN_PARAM_*)
    std::uint32_t properties = 0;   ///< navigation style
    std::uint32_t navigationWidth = 0;
    std::uint32_t buttons = 0;
    std::int32_t position[4]{}; ///< left, top, right, bottom
    std::uint32_t style = 0, extendedStyle = 0, showState = 0;
    std::uint32_t navigationClosed = 0, defaultPane = 0, tabPosition = 0, notifyId = 0;
};

/// One context ID of the help file's map and the topic it opens.
struct ChmContextId {
    std::uint32_t id = 0;
    std::string topic; ///< stored bytes; a path, sometimes the compiling machine's absolute one
};

/// The project facts of one help file. Texts are the stored bytes, without the terminating NUL.
struct ChmProjectFacts {
    bool hasSystem = false; ///< #SYSTEM was there and readable
    std::uint32_t systemVersion = 0;
    std::string contentsFile, indexFile, defaultTopic, title, defaultWindow, compiledFile, defaultFont;
    bool hasLanguage = false; ///< record 4 was there
    std::uint32_t lcid = 0;
    bool fullTextSearch = false;
    bool binaryToc = false;
    bool binaryIndex = false;
    std::vector<ChmWindow> windows;
    std::vector<ChmContextId> contextIds;
    bool truncated = false; ///< a table ended early or pointed outside; what came before is kept
};

namespace core {

/// The internal entries the facts come from.
inline constexpr char kSystemTable[] = "/#SYSTEM";
inline constexpr char kWindowsTable[] = "/#WINDOWS";
inline constexpr char kStringsTable[] = "/#STRINGS";
inline constexpr char kContextTable[] = "/#IVB";
/// A table larger than this is not read: real ones are a few KiB (#STRINGS a few hundred).
inline constexpr std::uint64_t kMaxTableBytes = 16u << 20;
/// More window definitions or context IDs than this are not taken.
inline constexpr std::size_t kMaxWindows = 256;
inline constexpr std::size_t kMaxContextIds = 65536;
/// The longest path the extractor writes, in bytes; no context topic is kept longer.
inline constexpr std::size_t kMaxPathBytes = 4095;

/// The help file's page names as stored, without the leading "/", ASCII lower-cased.
using PageNames = std::unordered_set<std::string>;
/// The part of a context topic that names one of `pages`, with its "#" anchor: the longest tail
/// after a "/" or "\\" (a compiler may store the compiling machine's absolute path), ASCII case
/// ignored; "" when it names none.
std::string topicPage(std::string_view topic, const PageNames& pages);

/// Reads the #SYSTEM records into `facts`. Every length is checked against the table.
void parseSystem(const std::string& system, ChmProjectFacts& facts);
/// Reads the window definitions; string offsets point into #STRINGS.
void parseWindows(const std::string& windows, const std::string& strings, ChmProjectFacts& facts);
/// Reads the context-ID map: pairs of ID and #STRINGS offset of the topic. With `pages`, each
/// topic is cut to the page it names (topicPage) and an ID whose topic names none is left out:
/// thousands of IDs may share one long topic, and every one would carry it into the report and
/// the project.
void parseContextIds(const std::string& ivb, const std::string& strings, ChmProjectFacts& facts,
                     const PageNames* pages = nullptr);
/// The NUL-terminated string at `offset` of #STRINGS; "" for offset 0, past the end or unterminated.
std::string stringAt(const std::string& strings, std::uint32_t offset, bool* bad = nullptr);

/// The facts as report lines ("project\t…"), every text hex-encoded so any byte survives.
std::string formatFacts(const ChmProjectFacts& facts);
/// Reads one report line into `facts`; false when the line is not a project line or malformed.
bool parseFactLine(const std::string& line, ChmProjectFacts& facts);

} // namespace core
} // namespace korvane::helpdecompiler
