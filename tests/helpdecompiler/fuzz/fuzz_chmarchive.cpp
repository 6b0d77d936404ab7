// libFuzzer target for the help file container reader: any bytes as a .chm file. The reader
// must not fault, what it accepts must hold up (extents inside the file, names inside the
// output folder), and the decoder, given only what it accepted, must not fault either.
#include "helpdecompiler/chmarchive.h"
#include "helpdecompiler/chmcore.h"
#include "helpdecompiler/chmlzx.h"
#include "helpdecompiler/chmproject.h"
#include "platform/uniquefd.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using namespace korvane::helpdecompiler;

namespace {

int g_devNull = -1;

/// Decoding stops here: a few frames show whether the parameters hold, and keep each run quick.
constexpr std::uint64_t kDecodeCap = 256 * 1024;
constexpr int kDecodedEntries = 4;

void check(bool promise)
{
    if (!promise)
        __builtin_trap();
}

void checkName(const std::string& stored)
{
    const SafeName name = core::safeRelativeName(stored);
    (void)core::shownName(stored);
    if (name.verdict != NameVerdict::Safe)
        return;
    const std::string& path = name.path;
    check(!path.empty() && path.size() <= 4095 && path.front() != '/' && path.back() != '/');
    check(path.find('\\') == std::string::npos && path.find('\0') == std::string::npos);
    check(core::isUtf8(path));
    const std::string wrapped = '/' + path + '/';
    check(wrapped.find("/../") == std::string::npos && wrapped.find("/./") == std::string::npos &&
          wrapped.find("//") == std::string::npos);
}

void checkArchive(const ChmArchive& archive)
{
    check(archive.section0Offset() <= archive.fileSize());
    const ChmCompressedSection& lzx = archive.compressed();
    if (lzx.present) {
        check(lzx.contentOffset <= archive.fileSize() && lzx.contentLength <= archive.fileSize() - lzx.contentOffset);
        check(lzx.windowSize >= (1u << 15) && lzx.windowSize <= (1u << 21) &&
              (lzx.windowSize & (lzx.windowSize - 1)) == 0);
        check(lzx.resetInterval > 0 && lzx.resetInterval % 0x8000 == 0);
    }
    for (const ChmEntry& entry : archive.entries()) {
        checkName(entry.name);
        if (entry.section == 0 && entry.length > 0 && archive.checkExtent(entry).empty()) {
            const std::uint64_t room = archive.fileSize() - archive.section0Offset();
            check(entry.offset <= room && entry.length <= room - entry.offset);
        }
    }
}

/// The project tables are parsed from whatever bytes they hold: every text ends before a NUL,
/// the counts stay capped, and the facts survive the helper's report unchanged.
void checkFacts(const ChmProjectFacts& facts)
{
    check(facts.windows.size() <= core::kMaxWindows && facts.contextIds.size() <= core::kMaxContextIds);
    for (const ChmWindow& w : facts.windows)
        check(!w.name.empty() && w.name.find('\0') == std::string::npos && w.caption.find('\0') == std::string::npos);
    for (const ChmContextId& c : facts.contextIds)
        check(!c.topic.empty() && c.topic.find('\0') == std::string::npos);
    ChmProjectFacts again;
    const std::string report = core::formatFacts(facts);
    for (std::size_t start = 0, end; start < report.size(); start = end + 1) {
        end = report.find('\n', start);
        check(end != std::string::npos && core::parseFactLine(report.substr(start, end - start), again));
    }
    check(again.title == facts.title && again.lcid == facts.lcid && again.windows.size() == facts.windows.size() &&
          again.contextIds.size() == facts.contextIds.size());
}

/// The same bytes as every table at once: the parsers see hostile input directly, not only what
/// survives the container and the decoder.
void parseTables(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t half = bytes.size() / 2;
    ChmProjectFacts facts;
    core::parseSystem(bytes, facts);
    core::parseWindows(bytes.substr(0, half), bytes.substr(half), facts);
    core::parseContextIds(bytes.substr(half), bytes.substr(0, half), facts);
    checkFacts(facts);
}

void decode(const ChmArchive& archive, int input)
{
    core::IoSystem io(input, kDecodeCap);
    core::LzxSection section(archive, io);
    int decoded = 0;
    for (const ChmEntry& entry : archive.entries()) {
        if (decoded == kDecodedEntries || io.capExceeded)
            break;
        if (entry.section != 1 || entry.length == 0 || !archive.checkExtent(entry).empty())
            continue;
        core::IoFile out{&io, g_devNull, true, 0};
        (void)section.extract(entry, out);
        ++decoded;
    }
    // The tables of a file that opened, decoded as the helper reads them.
    std::string system, windows, strings, ivb;
    const std::pair<const char*, std::string*> tables[] = {{core::kSystemTable, &system},
                                                           {core::kWindowsTable, &windows},
                                                           {core::kStringsTable, &strings},
                                                           {core::kContextTable, &ivb}};
    for (const ChmEntry& entry : archive.entries()) {
        for (const auto& [name, slot] : tables) {
            if (entry.name != name || entry.length > kDecodeCap || !archive.checkExtent(entry).empty())
                continue;
            core::IoFile out{&io, -1, true, 0, slot};
            if (entry.section == 1)
                (void)section.extract(entry, out);
        }
    }
    ChmProjectFacts facts;
    core::parseSystem(system, facts);
    core::parseWindows(windows, strings, facts);
    core::parseContextIds(ivb, strings, facts);
    checkFacts(facts);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    return g_devNull >= 0 ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The reader takes a descriptor of a regular file; a memory file is one.
    const korvane::platform::UniqueFd file(::memfd_create("chm", MFD_CLOEXEC));
    if (!file.valid())
        __builtin_trap();
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(file.get(), data + done, size - done);
        if (n <= 0)
            __builtin_trap();
        done += size_t(n);
    }
    parseTables(data, size);
    ChmArchive archive;
    if (!archive.read(file.get()))
        return 0;
    checkArchive(archive);
    decode(archive, file.get());
    return 0;
}
