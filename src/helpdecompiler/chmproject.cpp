#include "helpdecompiler/chmproject.h"

#include "helpdecompiler/lebytes.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace korvane::helpdecompiler::core {

namespace {

std::uint32_t dwordAt(const std::string& table, std::size_t offset)
{
    return le32(table.data() + offset);
}

/// A record's text: its bytes up to the first NUL (records normally end in one).
std::string recordText(const std::string& data)
{
    return data.substr(0, std::min(data.find('\0'), data.size()));
}

// Field offsets of one #WINDOWS definition (the layout of HH_WINTYPE, 32-bit).
enum WindowField : std::size_t {
    kName = 0x08,
    kValid = 0x0C,
    kProperties = 0x10,
    kCaption = 0x14,
    kStyle = 0x18,
    kExtendedStyle = 0x1C,
    kPosition = 0x20,
    kShowState = 0x30,
    kNavigationWidth = 0x4C,
    kContents = 0x60,
    kIndex = 0x64,
    kDefaultFile = 0x68,
    kHome = 0x6C,
    kButtons = 0x70,
    kNavigationClosed = 0x74,
    kDefaultPane = 0x78,
    kTabPosition = 0x7C,
    kNotifyId = 0x80,
    kJump1Text = 0x9C,
    kJump2Text = 0xA0,
    kJump1Url = 0xA4,
    kJump2Url = 0xA8,
    kWindowEnd = 0xAC, ///< a definition must hold at least every field above
};

const char kHex[] = "0123456789abcdef";

std::string hex(const std::string& bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

int hexDigit(char c)
{
    const char* at = std::strchr(kHex, c);
    return c != '\0' && at ? int(at - kHex) : -1;
}

bool unhex(const std::string& text, std::string& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes += char(high * 16 + low);
    }
    return true;
}

bool number(const std::string& text, std::uint32_t& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long parsed = std::stoull(text);
    if (parsed > 0xFFFFFFFFull)
        return false;
    value = std::uint32_t(parsed);
    return true;
}

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

const char* const kTextKeys[] = {"contents", "index", "topic", "title", "window", "compiled", "font"};

/// The text field a report key names; works for const and non-const facts alike.
template <typename Facts> auto textField(Facts& facts, const std::string& key) -> decltype(&facts.title)
{
    decltype(&facts.title) fields[] = {&facts.contentsFile,  &facts.indexFile,    &facts.defaultTopic, &facts.title,
                                       &facts.defaultWindow, &facts.compiledFile, &facts.defaultFont};
    for (std::size_t i = 0; i < std::size(kTextKeys); ++i) {
        if (key == kTextKeys[i])
            return fields[i];
    }
    return nullptr;
}

constexpr std::size_t kWindowNumbers = 16;
constexpr std::size_t kWindowTexts = 10;

} // namespace

std::string stringAt(const std::string& strings, std::uint32_t offset, bool* bad)
{
    if (offset == 0)
        return {};
    const std::size_t end = offset < strings.size() ? strings.find('\0', offset) : std::string::npos;
    if (end == std::string::npos) {
        if (bad)
            *bad = true;
        return {};
    }
    return strings.substr(offset, end - offset);
}

void parseSystem(const std::string& system, ChmProjectFacts& facts)
{
    if (system.size() < 4) {
        facts.truncated = true;
        return;
    }
    facts.hasSystem = true;
    facts.systemVersion = dwordAt(system, 0);
    std::size_t at = 4;
    while (at + 4 <= system.size()) {
        const std::uint16_t code = le16(system.data() + at);
        const std::size_t length = le16(system.data() + at + 2);
        at += 4;
        if (length > system.size() - at) {
            facts.truncated = true;
            return;
        }
        const std::string data = system.substr(at, length);
        at += length;
        switch (code) {
        case 0: facts.contentsFile = recordText(data); break;
        case 1: facts.indexFile = recordText(data); break;
        case 2: facts.defaultTopic = recordText(data); break;
        case 3: facts.title = recordText(data); break;
        case 4:
            // LCID, DBCS flag, full-text search flag, then flags and a time the project does not hold.
            if (data.size() >= 4) {
                facts.hasLanguage = true;
                facts.lcid = dwordAt(data, 0);
            }
            if (data.size() >= 12)
                facts.fullTextSearch = dwordAt(data, 8) != 0;
            break;
        case 5: facts.defaultWindow = recordText(data); break;
        case 6: facts.compiledFile = recordText(data); break;
        case 7:
            // The Workshop stores a non-zero value with a binary index; other compilers write 0.
            if (data.size() >= 4 && dwordAt(data, 0) != 0)
                facts.binaryIndex = true;
            break;
        case 11:
            facts.binaryToc = true; // written only with a binary contents table, whatever its value
            break;
        case 16: facts.defaultFont = recordText(data); break;
        default: break;
        }
    }
    if (at != system.size())
        facts.truncated = true;
}

void parseWindows(const std::string& windows, const std::string& strings, ChmProjectFacts& facts)
{
    if (windows.size() < 8) {
        facts.truncated = true;
        return;
    }
    const std::uint32_t count = dwordAt(windows, 0);
    const std::uint32_t size = dwordAt(windows, 4);
    if (size < kWindowEnd) {
        facts.truncated = true;
        return;
    }
    bool bad = false;
    for (std::uint32_t i = 0; i < count && facts.windows.size() < kMaxWindows; ++i) {
        const std::uint64_t start = 8 + std::uint64_t(i) * size;
        if (start + size > windows.size()) {
            facts.truncated = true;
            return;
        }
        const std::string entry = windows.substr(std::size_t(start), size);
        const auto text = [&](std::size_t field) { return stringAt(strings, dwordAt(entry, field), &bad); };
        ChmWindow window;
        window.name = text(kName);
        window.caption = text(kCaption);
        window.contentsFile = text(kContents);
        window.indexFile = text(kIndex);
        window.defaultFile = text(kDefaultFile);
        window.homeFile = text(kHome);
        window.jump1Url = text(kJump1Url);
        window.jump1Text = text(kJump1Text);
        window.jump2Url = text(kJump2Url);
        window.jump2Text = text(kJump2Text);
        window.validMembers = dwordAt(entry, kValid);
        window.properties = dwordAt(entry, kProperties);
        window.navigationWidth = dwordAt(entry, kNavigationWidth);
        window.buttons = dwordAt(entry, kButtons);
        for (std::size_t k = 0; k < 4; ++k)
            window.position[k] = std::int32_t(dwordAt(entry, kPosition + 4 * k));
        window.style = dwordAt(entry, kStyle);
        window.extendedStyle = dwordAt(entry, kExtendedStyle);
        window.showState = dwordAt(entry, kShowState);
        window.navigationClosed = dwordAt(entry, kNavigationClosed);
        window.defaultPane = dwordAt(entry, kDefaultPane);
        window.tabPosition = dwordAt(entry, kTabPosition);
        window.notifyId = dwordAt(entry, kNotifyId);
        if (!window.name.empty())
            facts.windows.push_back(std::move(window));
    }
    if (bad)
        facts.truncated = true;
}

std::string topicPage(std::string_view topic, const PageNames& pages)
{
    const std::string_view anchor = topic.substr(std::min(topic.find('#'), topic.size()));
    topic.remove_suffix(anchor.size());
    std::string name(topic);
    for (char& c : name)
        c = c == '\\' ? '/' : c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    for (std::size_t start = 0; start < name.size();) {
        if (name[start] != '/' && pages.count(name.substr(start)))
            return std::string(topic.substr(start)) +
                   std::string(anchor.substr(0, kMaxPathBytes - (topic.size() - start)));
        const std::size_t slash = name.find('/', start);
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return {};
}

void parseContextIds(const std::string& ivb, const std::string& strings, ChmProjectFacts& facts, const PageNames* pages)
{
    if (ivb.size() < 4) {
        facts.truncated = true;
        return;
    }
    const std::uint64_t declared = dwordAt(ivb, 0);
    const std::uint64_t length = std::min<std::uint64_t>(declared, ivb.size() - 4);
    if (declared != length)
        facts.truncated = true;
    bool bad = false;
    std::unordered_map<std::uint32_t, std::string> pageAt; // IDs often share a topic
    // Each pair costs at most one bounded search: no real map holds more IDs, nor a topic
    // longer than a path can be, and a hostile one may point every ID at another place.
    constexpr std::size_t kLongestTopic = 64 * 1024;
    for (std::uint64_t at = 4; at + 8 <= 4 + length && at < 4 + 8 * std::uint64_t(kMaxContextIds); at += 8) {
        const std::uint32_t offset = dwordAt(ivb, std::size_t(at + 4));
        const std::size_t left = offset < strings.size() ? strings.size() - offset : 0;
        const void* nul = left ? std::memchr(strings.data() + offset, 0, std::min(left, kLongestTopic)) : nullptr;
        if (offset == 0 || !nul) {
            bad = bad || (offset != 0 && left <= kLongestTopic);
            continue;
        }
        std::string_view stored(strings.data() + offset,
                                std::size_t(static_cast<const char*>(nul) - (strings.data() + offset)));
        auto topic = pageAt.find(offset);
        if (stored.size() > kMaxPathBytes) // a page it names is in its last bytes
            stored.remove_prefix(stored.size() - kMaxPathBytes);
        if (topic == pageAt.end())
            topic = pageAt.emplace(offset, pages ? topicPage(stored, *pages) : std::string(stored)).first;
        if (!topic->second.empty())
            facts.contextIds.push_back({dwordAt(ivb, std::size_t(at)), topic->second});
    }
    if (bad)
        facts.truncated = true;
}

std::string formatFacts(const ChmProjectFacts& facts)
{
    if (!facts.hasSystem && facts.windows.empty() && facts.contextIds.empty())
        return {};
    const auto flag = [](bool b) { return b ? "\t1" : "\t0"; };
    std::string text = "project\tsystem\t" + std::to_string(facts.systemVersion) + '\t' + std::to_string(facts.lcid) +
                       flag(facts.hasSystem) + flag(facts.hasLanguage) + flag(facts.fullTextSearch) +
                       flag(facts.binaryToc) + flag(facts.binaryIndex) + flag(facts.truncated) + '\n';
    for (const char* key : kTextKeys) {
        if (const std::string* value = textField(facts, key); value && !value->empty())
            text += std::string("project\ttext\t") + key + '\t' + hex(*value) + '\n';
    }
    for (const ChmWindow& w : facts.windows) {
        const std::uint32_t numbers[kWindowNumbers] = {w.validMembers,
                                                       w.properties,
                                                       w.navigationWidth,
                                                       w.buttons,
                                                       std::uint32_t(w.position[0]),
                                                       std::uint32_t(w.position[1]),
                                                       std::uint32_t(w.position[2]),
                                                       std::uint32_t(w.position[3]),
                                                       w.style,
                                                       w.extendedStyle,
                                                       w.showState,
                                                       w.navigationClosed,
                                                       w.defaultPane,
                                                       w.tabPosition,
                                                       w.notifyId,
                                                       0};
        text += "project\twindow";
        for (const std::uint32_t n : numbers)
            text += '\t' + std::to_string(n);
        for (const std::string* s : {&w.name, &w.caption, &w.contentsFile, &w.indexFile, &w.defaultFile, &w.homeFile,
                                     &w.jump1Url, &w.jump1Text, &w.jump2Url, &w.jump2Text})
            text += '\t' + hex(*s);
        text += '\n';
    }
    for (const ChmContextId& c : facts.contextIds)
        text += "project\tcontext\t" + std::to_string(c.id) + '\t' + hex(c.topic) + '\n';
    return text;
}

bool parseFactLine(const std::string& line, ChmProjectFacts& facts)
{
    const std::vector<std::string> f = split(line);
    if (f.size() < 2 || f[0] != "project")
        return false;
    if (f[1] == "system" && f.size() == 10) {
        std::uint32_t flags[6]{};
        for (std::size_t i = 0; i < 6; ++i) {
            if (!number(f[4 + i], flags[i]) || flags[i] > 1)
                return false;
        }
        if (!number(f[2], facts.systemVersion) || !number(f[3], facts.lcid))
            return false;
        facts.hasSystem = flags[0];
        facts.hasLanguage = flags[1];
        facts.fullTextSearch = flags[2];
        facts.binaryToc = flags[3];
        facts.binaryIndex = flags[4];
        facts.truncated = flags[5];
        return true;
    }
    if (f[1] == "text" && f.size() == 4) {
        std::string* field = textField(facts, f[2]);
        return field && unhex(f[3], *field);
    }
    if (f[1] == "window" && f.size() == 2 + kWindowNumbers + kWindowTexts) {
        std::uint32_t n[kWindowNumbers]{};
        for (std::size_t i = 0; i < kWindowNumbers; ++i) {
            if (!number(f[2 + i], n[i]))
                return false;
        }
        ChmWindow w;
        w.validMembers = n[0];
        w.properties = n[1];
        w.navigationWidth = n[2];
        w.buttons = n[3];
        for (std::size_t k = 0; k < 4; ++k)
            w.position[k] = std::int32_t(n[4 + k]);
        w.style = n[8];
        w.extendedStyle = n[9];
        w.showState = n[10];
        w.navigationClosed = n[11];
        w.defaultPane = n[12];
        w.tabPosition = n[13];
        w.notifyId = n[14];
        std::string* texts[kWindowTexts] = {&w.name,     &w.caption,  &w.contentsFile, &w.indexFile, &w.defaultFile,
                                            &w.homeFile, &w.jump1Url, &w.jump1Text,    &w.jump2Url,  &w.jump2Text};
        for (std::size_t i = 0; i < kWindowTexts; ++i) {
            if (!unhex(f[2 + kWindowNumbers + i], *texts[i]))
                return false;
        }
        if (facts.windows.size() < kMaxWindows)
            facts.windows.push_back(std::move(w));
        return true;
    }
    if (f[1] == "context" && f.size() == 4) {
        ChmContextId c;
        if (!number(f[2], c.id) || !unhex(f[3], c.topic))
            return false;
        if (facts.contextIds.size() < kMaxContextIds)
            facts.contextIds.push_back(std::move(c));
        return true;
    }
    return false;
}

} // namespace korvane::helpdecompiler::core
