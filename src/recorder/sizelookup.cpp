#include "recorder/sizelookup.h"

#include "recorder/filedatabase.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace korvane::recorder {

namespace {

bool isDecimalDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

int digitValue(QChar c, int base)
{
    int value = -1;
    if (isDecimalDigit(c))
        value = c.unicode() - u'0';
    else if (c >= u'a' && c <= u'f')
        value = c.unicode() - u'a' + 10;
    else if (c >= u'A' && c <= u'F')
        value = c.unicode() - u'A' + 10;
    return value < base ? value : -1;
}

double roundTo15Digits(double value)
{
    return QString::number(value, 'g', 15).toDouble();
}

} // namespace

std::optional<double> numericPrefix(const QString& text)
{
    QString s;
    s.reserve(text.size());
    for (QChar c : text) {
        if (c != u' ' && c != u'\t' && c != u'\n')
            s.append(c);
    }

    if (s.size() >= 2 && s[0] == u'&') {
        const QChar radix = s[1].toUpper();
        const int base = radix == u'H' ? 16 : radix == u'O' ? 8 : 0;
        if (base != 0) {
            double value = 0;
            for (qsizetype i = 2; i < s.size(); ++i) {
                const int digit = digitValue(s[i], base);
                if (digit < 0)
                    break;
                value = value * base + digit;
            }
            if (!std::isfinite(value))
                return std::nullopt;
            return value;
        }
    }

    // Collect the longest prefix that forms a number, then let the C library convert it.
    QByteArray number;
    qsizetype i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
        number.append(char(s[i++].unicode()));
    bool mantissaDigits = false;
    while (i < s.size() && isDecimalDigit(s[i])) {
        number.append(char(s[i++].unicode()));
        mantissaDigits = true;
    }
    if (i < s.size() && s[i] == u'.') {
        number.append('.');
        ++i;
        while (i < s.size() && isDecimalDigit(s[i])) {
            number.append(char(s[i++].unicode()));
            mantissaDigits = true;
        }
    }
    if (!mantissaDigits)
        return 0.0;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        qsizetype j = i + 1;
        QByteArray exponent = "e";
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-'))
            exponent.append(char(s[j++].unicode()));
        bool exponentDigits = false;
        while (j < s.size() && isDecimalDigit(s[j])) {
            exponent.append(char(s[j++].unicode()));
            exponentDigits = true;
        }
        if (exponentDigits)
            number.append(exponent);
    }
    // from_chars reads "." whatever the C locale says; it takes no "+".
    const char* first = number.constData() + (number.startsWith('+') ? 1 : 0);
    const char* last = number.constData() + number.size();
    double value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error == std::errc::result_out_of_range) {
        // Too large is an overflow error; too small is just 0.
        const qsizetype e = number.indexOf('e');
        const QByteArray mantissa = e < 0 ? number : number.left(e);
        const qsizetype point = mantissa.indexOf('.');
        QByteArray whole = point < 0 ? mantissa : mantissa.left(point);
        while (!whole.isEmpty() && (whole[0] == '0' || whole[0] == '+' || whole[0] == '-'))
            whole.remove(0, 1);
        const qint64 exponent = e < 0 ? 0 : std::clamp(number.mid(e + 1).toLongLong(), -100000LL, 100000LL);
        if (whole.size() + exponent > 0)
            return std::nullopt;
        return 0.0;
    }
    if (error != std::errc() || end != last)
        return 0.0;
    return value;
}

double unitFactor(int position)
{
    return std::pow(1024.0, 2 - position);
}

std::optional<SizeBounds> sizeBounds(const QString& sizeText, const QString& toleranceText, int unitPosition)
{
    const std::optional<double> size = numericPrefix(sizeText);
    const std::optional<double> tolerance = numericPrefix(toleranceText);
    if (!size || !tolerance)
        return std::nullopt;
    const double factor = unitFactor(unitPosition);
    const double lower = (*size - *tolerance) * factor;
    const double upper = (*size + *tolerance) * factor;
    if (!std::isfinite(lower) || !std::isfinite(upper))
        return std::nullopt;
    return SizeBounds{roundTo15Digits(lower), roundTo15Digits(upper)};
}

LookupResult lookUpBySize(FileDatabase& db, const QString& sizeText, const QString& toleranceText, int unitPosition)
{
    LookupResult result;
    const std::optional<SizeBounds> bounds = sizeBounds(sizeText, toleranceText, unitPosition);
    if (!bounds)
        return result;
    SizeSearch found = db.findNamesInSizeRange(bounds->lower, bounds->upper);
    result.names = std::move(found.names);
    result.sizes = std::move(found.sizes);
    if (!found.status)
        result.outcome = LookupResult::Outcome::Failed;
    else if (result.names.isEmpty())
        result.outcome = LookupResult::Outcome::NoneInRange;
    else
        result.outcome = LookupResult::Outcome::Listed;
    return result;
}

QString resultsText(const QStringList& names)
{
    qsizetype length = 0;
    for (const QString& name : names)
        length += name.size() + 2;
    QString text;
    text.reserve(length);
    for (const QString& name : names) {
        text += name;
        text += QLatin1String("\r\n");
    }
    return text;
}

std::optional<qint64> droppedFileSize(platform::FileSystem& fs, const QList<platform::NativePath>& paths)
{
    if (paths.size() != 1)
        return std::nullopt;
    const platform::Result<platform::FileInfo> info = fs.info(paths.first(), platform::Links::Follow);
    if (!info || info->kind != platform::EntryKind::File)
        return std::nullopt;
    return info->size;
}

} // namespace korvane::recorder
