// korvane-unohelper: the only place that talks to LibreOffice through UNO.
//
// Korvane starts this program and talks to it over stdin/stdout, one command per line (the
// protocol is in wordcrypt/officeprotocol.h). Keeping UNO out of Korvane means Korvane starts
// where LibreOffice is missing and survives a crash of the office.
//
// Documents are loaded read-only and exported with storeToURL to the path Korvane names: the
// office never writes the user's file and leaves no lock file beside it, and a document that
// the office would open read-only (write-reserved, read-only recommended) is handled alike.

#include "officeprocess.h"
#include "unotext.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace korvane::unohelper;
namespace protocol = korvane::wordcrypt::officeprotocol;

const char* const kDefaultOffice = "/usr/lib/libreoffice/program/soffice";

std::string percentDecode(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::vector<std::string> splitFields(const std::string& line)
{
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, protocol::kSeparator))
        fields.push_back(field);
    if (!line.empty() && line.back() == protocol::kSeparator)
        fields.emplace_back();
    return fields;
}

void reply(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

/// Reads commands from stdin and answers each on stdout, until `quit` or the end of input.
class CommandLoop {
public:
    explicit CommandLoop(OfficeProcess& office) : m_office(office) {}

    void run()
    {
        std::string line;
        while (std::getline(std::cin, line)) {
            const std::vector<std::string> fields = splitFields(line);
            if (fields.empty())
                continue;
            try {
                if (!dispatch(fields))
                    return;
            } catch (const com::sun::star::uno::Exception& e) {
                reply(errorLine(protocol::kProtocol, toUtf8(e.Message)));
            } catch (const std::exception& e) {
                reply(errorLine(protocol::kProtocol, e.what()));
            }
        }
    }

private:
    /// Answers one command; false after `quit`.
    bool dispatch(const std::vector<std::string>& f)
    {
        const std::string& command = f[0];
        // The optional password is the last field; decoded here, null when absent.
        const auto passwordAt = [&](size_t at, std::string& storage) -> const std::string* {
            if (f.size() <= at)
                return nullptr;
            storage = percentDecode(f[at]);
            return &storage;
        };
        std::string password;
        if (command == protocol::kStart) {
            reply(m_office.start(reply));
        } else if (command == protocol::kLoad && f.size() >= 2) {
            reply(m_office.load(f[1], passwordAt(2, password)));
        } else if (command == protocol::kProbe && f.size() >= 2) {
            reply(m_office.load(f[1], passwordAt(2, password), true));
        } else if (command == protocol::kStore && f.size() >= 3) {
            reply(m_office.store(std::stoi(f[1]), f[2], passwordAt(3, password)));
        } else if (command == protocol::kClose && f.size() >= 2) {
            reply(m_office.close(std::stoi(f[1])));
        } else if (command == protocol::kQuit) {
            m_office.stop();
            reply(protocol::kOk);
            return false;
        } else {
            reply(errorLine(protocol::kProtocol, "unknown command"));
        }
        return true;
    }

    OfficeProcess& m_office;
};

/// Waits for a guarded signal or for Korvane's end of the command socket (Korvane gone, however it
/// went), and then ends the office and this process at once. The command thread may be deep in
/// a call to the office meanwhile, and would not read the end of input until it returns.
void guard(OfficeProcess& office, int signals)
{
    pollfd watched[2] = {{0, 0, 0}, {signals, POLLIN, 0}}; // events 0: hang-up and errors only
    while (::poll(watched, 2, -1) < 0 && errno == EINTR) {
    }
    int code = 0;
    signalfd_siginfo info{};
    if ((watched[1].revents & POLLIN) && ::read(signals, &info, sizeof info) == sizeof info)
        code = 128 + int(info.ssi_signo);
    office.abandon();
    ::_exit(code);
}

} // namespace

int main(int argc, char* argv[])
{
    // Korvane may die while the office runs; a closed pipe must not kill us before we clean up.
    std::signal(SIGPIPE, SIG_IGN);
    // Blocked before any thread starts, so only the guard takes them.
    sigset_t guarded;
    sigemptyset(&guarded);
    for (const int signal : kGuardedSignals)
        sigaddset(&guarded, signal);
    ::pthread_sigmask(SIG_BLOCK, &guarded, nullptr);
    const int signals = ::signalfd(-1, &guarded, SFD_CLOEXEC);
    OfficeProcess office(argc > 1 ? argv[1] : kDefaultOffice);
    if (signals >= 0)
        std::thread(guard, std::ref(office), signals).detach();
    CommandLoop(office).run();
    return 0; // the office's destructor stops it
}
