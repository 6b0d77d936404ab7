#include "filemanager/typematch.h"

namespace korvane::filemanager {

namespace {

qsizetype codePointCount(const QString& text)
{
    qsizetype count = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!(text.at(i).isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate()))
            ++count;
    }
    return count;
}

bool sameIgnoringCase(const QString& a, const QString& b)
{
    return a.toLower() == b.toLower();
}

} // namespace

QString lastCharacters(const QString& text, qsizetype count)
{
    if (count <= 0)
        return {};
    qsizetype start = text.size();
    while (start > 0 && count > 0) {
        --start;
        if (text.at(start).isLowSurrogate() && start > 0 && text.at(start - 1).isHighSurrogate())
            --start;
        --count;
    }
    return text.mid(start);
}

bool matchesSingleType(const QString& name, const QString& typeText)
{
    return sameIgnoringCase(lastCharacters(name, 3), lastCharacters(typeText, 3));
}

QStringList typeListEntries(const QString& typeList)
{
    QStringList entries;
    for (const QString& part : typeList.split(QLatin1Char(';'))) {
        const QString entry = part.trimmed();
        if (!entry.isEmpty())
            entries << entry;
    }
    return entries;
}

bool matchesTypeList(const QString& name, const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (sameIgnoringCase(lastCharacters(name, codePointCount(entry)), entry))
            return true;
    }
    return false;
}

} // namespace korvane::filemanager
