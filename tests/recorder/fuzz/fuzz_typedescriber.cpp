// Differential fuzzing of the recorder's type cache: the input is read as a sequence of names,
// each a glob-derived name of the MIME database changed by a few mutations or a raw UTF-8 text,
// and one describer must answer each exactly as the database does, whatever came before.

#include "../typediff.h"

#include <QCoreApplication>
#include <QLocale>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QStringList globs = [] {
        QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
        return korvane::testsupport::globNames(QMimeDatabase());
    }();
    QStringList names;
    size_t at = 0;
    const auto take = [&](size_t n) {
        quint32 value = 0;
        for (size_t i = 0; i < n && at < size; ++i)
            value = value << 8 | data[at++];
        return value;
    };
    while (at < size && names.size() < 64) {
        const quint32 head = take(1);
        if (head < 32) { // a raw name of up to 31 bytes
            const size_t length = std::min<size_t>(head, size - at);
            const QString name = QString::fromUtf8(reinterpret_cast<const char*>(data + at), qsizetype(length));
            at += length;
            // What a folder can hold: the recorder never sees "/", NUL or an empty name.
            if (!name.isEmpty() && !name.contains(u'/') && !name.contains(QChar(0)))
                names << name;
            continue;
        }
        QString name = globs.value(qsizetype(take(2)) % globs.size());
        for (quint32 changes = head % 4; changes > 0; --changes)
            name = korvane::testsupport::mutated(name, take(3));
        names << name;
    }
    if (const std::optional<QString> differs = korvane::testsupport::firstDifference(names)) {
        std::fprintf(stderr, "type description differs from the MIME database for \"%s\"\n", qPrintable(*differs));
        std::abort();
    }
    return 0;
}
