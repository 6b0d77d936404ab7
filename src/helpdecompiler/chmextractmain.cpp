// korvane-chmextract: extracts one help file in a process of its own, so that a fault in the
// decompressor on a hostile file ends this process only. Paths come on standard input as raw
// bytes (names need not be UTF-8); the report goes to standard output (see extractprocess.h).
#include "helpdecompiler/chmextractor.h"
#include "helpdecompiler/extractprocess.h"

#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define KORVANE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVANE_ASAN 1
#endif
#endif

namespace {

void limit(int resource, rlim_t value)
{
    struct rlimit rl {value, value};
    ::setrlimit(resource, &rl);
}

QByteArray readAllInput()
{
    QByteArray data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            break;
        data.append(buffer, n);
        if (data.size() > 1 << 20)
            break;
    }
    return data;
}

} // namespace

int main()
{
    using namespace korvane::helpdecompiler;
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_CPU, 900);
#ifndef KORVANE_ASAN
    // The decompressor needs a few MiB; a runaway allocation fails here instead.
    limit(RLIMIT_AS, rlim_t(1) << 30);
#endif
    const QList<QByteArray> fields = readAllInput().split('\0');
    if (fields.size() < 3) {
        std::fputs(formatExtractReport({false, QStringLiteral("参数错误"), 0, 0, 0, {}}).constData(), stdout);
        return 2;
    }
    struct stat st {};
    const quint64 size = ::stat(fields[0].constData(), &st) == 0 ? quint64(st.st_size) : 0;
    const ExtractReport report = extractChm(fields[0], fields[1], fields[2], {ExtractLimits::defaultFor(size)});
    const QByteArray text = formatExtractReport(report);
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
}
