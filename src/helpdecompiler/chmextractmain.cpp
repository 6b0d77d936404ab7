// korvane-chmextract: extracts one help file in a process of its own, so that a fault in the
// decompressor on a hostile file ends this process only. Paths come on standard input as raw
// bytes (names need not be UTF-8); the report goes to standard output (core::formatReport).
// Built without Qt: loading it would cost more than extracting a small help file.
#include "helpdecompiler/chmcore.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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
    const rlimit rl{value, value};
    ::setrlimit(resource, &rl);
}

std::vector<std::string> readFields()
{
    std::string data;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0 || data.size() > (1u << 20))
            break;
        data.append(buffer, std::size_t(n));
    }
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t at; (at = data.find('\0', start)) != std::string::npos; start = at + 1)
        fields.push_back(data.substr(start, at - start));
    return fields;
}

} // namespace

int main()
{
    using namespace korvane::helpdecompiler;
    // A helper whose caller is gone has nobody to report to and nobody to take its pages back:
    // it ends, and takes back the page it had not finished.
    struct sigaction death {};
    death.sa_handler = [](int) {
        core::removePageInProgress();
        ::_exit(3);
    };
    sigemptyset(&death.sa_mask);
    ::sigaction(SIGTERM, &death, nullptr);
    sigset_t deathOnly;
    sigemptyset(&deathOnly);
    sigaddset(&deathOnly, SIGTERM);
    ::sigprocmask(SIG_UNBLOCK, &deathOnly, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_CPU, 900);
#ifndef KORVANE_ASAN
    // The decompressor needs a few MiB; a runaway allocation fails here instead.
    limit(RLIMIT_AS, rlim_t(1) << 30);
#endif
    const std::vector<std::string> fields = readFields();
    // The caller may have died before the death signal was asked for: it sent its process ID.
    if (fields.size() >= 4 && std::strtoll(fields[3].c_str(), nullptr, 10) != ::getppid())
        return 3;
    ExtractReport report;
    if (fields.size() < 3) {
        report.error = "参数错误";
    } else {
        struct stat st {};
        const std::uint64_t size = ::stat(fields[0].c_str(), &st) == 0 ? std::uint64_t(st.st_size) : 0;
        // A fifth field "1": the caller runs other helpers beside this one.
        const bool alone = fields.size() < 5 || fields[4] != "1";
        report = core::extract(fields[0], fields[1], fields[2], core::defaultCap(size), alone);
    }
    const std::string text = core::formatReport(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 && fields.size() >= 3 ? 0 : 2;
}
