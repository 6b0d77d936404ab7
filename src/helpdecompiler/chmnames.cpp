#include "helpdecompiler/chmcore.h"

#include <algorithm>
#include <iconv.h>
#include <optional>

namespace korvane::helpdecompiler::core {

namespace {

constexpr std::size_t kMaxComponent = 255;
constexpr std::size_t kMaxPath = kMaxPathBytes;

bool hasControlCharacter(const std::string& bytes)
{
    return std::any_of(bytes.begin(), bytes.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

/// One converter a thread, opened on first use: a help file with GBK names has one a page.
class Gb18030Converter {
public:
    ~Gb18030Converter()
    {
        if (m_cd != iconv_t(-1))
            ::iconv_close(m_cd);
    }
    iconv_t get()
    {
        if (m_cd == iconv_t(-1))
            m_cd = ::iconv_open("UTF-8", "GB18030");
        else
            ::iconv(m_cd, nullptr, nullptr, nullptr, nullptr); // back to the initial state
        return m_cd;
    }

private:
    iconv_t m_cd = iconv_t(-1);
};

std::optional<std::string> fromGb18030(const std::string& bytes)
{
    static thread_local Gb18030Converter converter;
    const iconv_t cd = converter.get();
    if (cd == iconv_t(-1))
        return std::nullopt;
    std::string out(bytes.size() * 2 + 8, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* o = out.data();
    std::size_t outLeft = out.size();
    const bool ok = ::iconv(cd, &in, &inLeft, &o, &outLeft) != std::size_t(-1) && inLeft == 0 &&
                    ::iconv(cd, nullptr, nullptr, &o, &outLeft) != std::size_t(-1);
    if (!ok)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

} // namespace

std::string shownName(const std::string& stored)
{
    std::string text;
    const std::vector<std::string> parts = split(stored, '/');
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (i > 0)
            text += '/';
        if (isUtf8(part)) {
            text += part;
        } else if (const auto decoded = fromGb18030(part)) {
            text += *decoded;
        } else {
            for (char c : part)
                text += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        }
    }
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return text;
}

bool isUtf8(const std::string& bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        int more;
        std::uint32_t cp;
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= more)
            return false;
        for (int i = 1; i <= more; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((more == 2 && cp < 0x800) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += more + 1;
    }
    return true;
}

SafeName safeRelativeName(const std::string& stored)
{
    SafeName result;
    const auto startsWith = [&](const char* prefix) { return stored.rfind(prefix, 0) == 0; };
    if (startsWith("::") || startsWith("/#") || startsWith("/$")) {
        result.verdict = NameVerdict::Internal;
        return result;
    }
    if (stored == "/") {
        result.verdict = NameVerdict::Root;
        return result;
    }
    if (!startsWith("/"))
        return result; // Unsafe
    std::string path = stored.substr(1);
    if (!path.empty() && path.back() == '/') {
        result.folder = true;
        path.pop_back();
    }
    if (!isUtf8(path)) {
        const auto text = fromGb18030(path);
        if (!text) {
            result.verdict = NameVerdict::BadEncoding;
            return result;
        }
        path = *text;
    }
    if (path.empty() || path.find('\\') != std::string::npos || hasControlCharacter(path))
        return result;
    if (path.size() > kMaxPath) {
        result.verdict = NameVerdict::TooLong;
        return result;
    }
    for (const std::string& component : split(path, '/')) {
        if (component.empty() || component == "." || component == "..")
            return result;
        if (component.size() > kMaxComponent) {
            result.verdict = NameVerdict::TooLong;
            return result;
        }
    }
    result.verdict = NameVerdict::Safe;
    result.path = path;
    return result;
}

} // namespace korvane::helpdecompiler::core
