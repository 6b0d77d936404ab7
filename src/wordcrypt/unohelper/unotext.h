#pragma once

// Conversions between UNO strings and the helper's protocol lines.

#include "wordcrypt/officeprotocol.h"

#include <com/sun/star/beans/PropertyValue.hpp>
#include <rtl/ustring.hxx>

#include <string>

namespace korvane::unohelper {

inline std::string toUtf8(const rtl::OUString& text)
{
    return rtl::OUStringToOString(text, RTL_TEXTENCODING_UTF8).getStr();
}

inline rtl::OUString fromUtf8(const std::string& text)
{
    return rtl::OStringToOUString(rtl::OString(text.data(), static_cast<sal_Int32>(text.size())),
                                  RTL_TEXTENCODING_UTF8);
}

/// `text` as one protocol field: no line breaks or tabs.
inline std::string oneLine(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    return out;
}

/// The reply line of a failure.
inline std::string errorLine(const char* code, const std::string& text)
{
    using namespace wordcrypt::officeprotocol;
    return std::string(kError) + kSeparator + code + kSeparator + oneLine(text);
}

inline com::sun::star::beans::PropertyValue property(const char* name, const com::sun::star::uno::Any& value)
{
    com::sun::star::beans::PropertyValue p;
    p.Name = rtl::OUString::createFromAscii(name);
    p.Value = value;
    return p;
}

} // namespace korvane::unohelper
