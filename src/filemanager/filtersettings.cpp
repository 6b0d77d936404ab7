#include "filemanager/filtersettings.h"

#include "platform/nativepath.h"

namespace korvane::filemanager {

QStringList newFilterItems(const QString& answer)
{
    const QString trimmed = answer.trimmed();
    if (trimmed.isEmpty())
        return {};
    QStringList items;
    for (const QString& part : trimmed.split(QLatin1Char(';')))
        items << part.trimmed();
    return items;
}

platform::Status writeFilterSetting(platform::FileSystem& fs, const QString& programFolder, const QString& value)
{
    const platform::NativePath path =
        platform::joinPath(platform::nativePath(programFolder), QByteArrayLiteral("setting.txt"));
    return platform::writeTextFile(fs, path, {QStringLiteral("filter=") + value}, platform::TextEncoding::Locale);
}

} // namespace korvane::filemanager
