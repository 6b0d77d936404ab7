#include "platform/nativepath.h"

#include <QList>
#include <QStringDecoder>
#include <QUtf8StringView>
#include <cerrno>
#include <iconv.h>

namespace korvane::platform {

namespace {

std::optional<QByteArray> convert(const QByteArray& input, const char* to, const char* from)
{
    iconv_t cd = ::iconv_open(to, from);
    if (cd == iconv_t(-1))
        return std::nullopt;
    QByteArray output(input.size() * 4 + 16, Qt::Uninitialized);
    char* in = const_cast<char*>(input.constData());
    size_t inLeft = size_t(input.size());
    char* out = output.data();
    size_t outLeft = size_t(output.size());
    bool ok = true;
    while (inLeft > 0) {
        if (::iconv(cd, &in, &inLeft, &out, &outLeft) == size_t(-1)) {
            if (errno == E2BIG) {
                const qsizetype used = out - output.data();
                output.resize(output.size() * 2);
                out = output.data() + used;
                outLeft = size_t(output.size() - used);
                continue;
            }
            ok = false;
            break;
        }
    }
    if (ok && ::iconv(cd, nullptr, nullptr, &out, &outLeft) == size_t(-1))
        ok = false;
    ::iconv_close(cd);
    if (!ok)
        return std::nullopt;
    output.truncate(out - output.data());
    return output;
}

QString displayComponent(const QByteArray& component)
{
    if (isValidUtf8(component))
        return QString::fromUtf8(component);
    if (auto text = decodeText(component, "GB18030"))
        return *text;
    return QString::fromUtf8(component); // shows replacement characters, never fails
}

} // namespace

bool isValidUtf8(const QByteArray& bytes)
{
    // Asked for every listed path: a check that builds no decoded copy.
    return QUtf8StringView(bytes).isValidUtf8();
}

std::optional<QByteArray> encodeText(const QString& text, const char* encoding)
{
    return convert(text.toUtf8(), encoding, "UTF-8");
}

std::optional<QString> decodeText(const QByteArray& bytes, const char* encoding)
{
    auto utf8 = convert(bytes, "UTF-8", encoding);
    if (!utf8)
        return std::nullopt;
    return QString::fromUtf8(*utf8);
}

QString displayPath(const QByteArray& path)
{
    if (isValidUtf8(path))
        return QString::fromUtf8(path);
    QString result;
    const QList<QByteArray> parts = path.split('/');
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result += QLatin1Char('/');
        result += displayComponent(parts[i]);
    }
    return result;
}

QByteArray nativePath(const QString& text)
{
    return text.toUtf8();
}

} // namespace korvane::platform
