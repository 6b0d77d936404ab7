// korvane-unohelper: the only place that talks to LibreOffice through UNO.
//
// Korvane starts this program and talks to it over stdin/stdout, one command per line, fields
// separated by tabs, paths and passwords percent-encoded. Keeping UNO out of Korvane means
// Korvane starts where LibreOffice is missing and survives a crash of the office.
//
//   start                      -> started <office process group> <profile>, then
//                                 ok <office process group> <profile> | err <code> <text>
//   load <url path> [password] -> ok <id> <filter> <readonly> | err <code> <text>
//   store <id> <url path> [password] -> ok                    | err <code> <text>
//   close <id>                 -> ok                          | err <code> <text>
//   probe <url path> [password] -> ok <readonly>              | err <code> <text>
//                                 (loads for editing and closes again: whether the office itself
//                                 opens the document read-only; for checks and diagnostics)
//   quit                       -> ok (and the helper ends)
//
// Error codes: nooffice, start, password, wrongpassword, locked, load, store, close, protocol,
// crashed (the office died during the call; the helper ends it and its profile).
//
// Documents are loaded read-only and exported with storeToURL to the path Korvane names: the
// office never writes the user's file and leaves no lock file beside it, and a document that
// the office would open read-only (write-reserved, read-only recommended) is handled alike.

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/bridge/XUnoUrlResolver.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/UpdateDocMode.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/task/ErrorCodeIOException.hpp>
#include <com/sun/star/task/ErrorCodeRequest.hpp>
#include <com/sun/star/task/XInteractionAbort.hpp>
#include <com/sun/star/task/XInteractionApprove.hpp>
#include <com/sun/star/task/XInteractionDisapprove.hpp>
#include <com/sun/star/task/XInteractionHandler.hpp>
#include <com/sun/star/task/XInteractionRequest.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>
#include <rtl/ref.hxx>
#include <rtl/ustring.hxx>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace css = com::sun::star;
using css::uno::Reference;
using css::uno::UNO_QUERY;
using rtl::OString;
using rtl::OStringToOUString;
using rtl::OUString;
using rtl::OUStringToOString;

namespace {

const char* const kDefaultOffice = "/usr/lib/libreoffice/program/soffice";
const char* const kFundamentalRc = "vnd.sun.star.pathname:/usr/lib/libreoffice/program/fundamentalrc";
constexpr auto kConnectLimit = std::chrono::seconds(60);
constexpr auto kQuitLimit = std::chrono::seconds(10);

std::string percentDecode(const std::string& text) {
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

std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    return out;
}

std::string toUtf8(const OUString& text) {
    return OUStringToOString(text, RTL_TEXTENCODING_UTF8).getStr();
}

OUString fromUtf8(const std::string& text) {
    return OStringToOUString(OString(text.data(), static_cast<sal_Int32>(text.size())),
                             RTL_TEXTENCODING_UTF8);
}

void reply(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void replyError(const std::string& code, const std::string& text) {
    reply("err\t" + code + "\t" + oneLine(text));
}

css::beans::PropertyValue property(const char* name, const css::uno::Any& value) {
    css::beans::PropertyValue p;
    p.Name = OUString::createFromAscii(name);
    p.Value = value;
    return p;
}

/// Answers every question of the office with "no": a password request is remembered so the
/// caller can ask the user, a lock is reported; nothing ever waits for a person.
class Interaction : public cppu::WeakImplHelper1<css::task::XInteractionHandler> {
public:
    bool passwordAsked = false;
    bool locked = false;
    std::string lastRequest;

    void reset() {
        passwordAsked = false;
        locked = false;
        lastRequest.clear();
    }

    void SAL_CALL handle(const Reference<css::task::XInteractionRequest>& request) override {
        const std::string type = toUtf8(request->getRequest().getValueTypeName());
        lastRequest = type;
        css::task::ErrorCodeRequest errorCode;
        if (request->getRequest() >>= errorCode) {
            std::ostringstream text;
            text << type << " 0x" << std::hex << errorCode.ErrCode;
            lastRequest = text.str();
        }
        if (type.find("PasswordRequest") != std::string::npos)
            passwordAsked = true;
        if (type.find("LockedDocumentRequest") != std::string::npos ||
            type.find("LockedOnSaveRequest") != std::string::npos)
            locked = true;
        const auto continuations = request->getContinuations();
        for (const auto& c : continuations) {
            if (Reference<css::task::XInteractionAbort> abort{c, UNO_QUERY}; abort.is()) {
                abort->select();
                return;
            }
        }
        for (const auto& c : continuations) {
            if (Reference<css::task::XInteractionDisapprove> no{c, UNO_QUERY}; no.is()) {
                no->select();
                return;
            }
        }
    }
};

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

class Helper {
public:
    explicit Helper(std::string office) : m_office(std::move(office)) {}
    ~Helper() { stopOffice(); }

    void start() {
        if (m_desktop.is()) {
            reply("ok\t" + std::to_string(m_officePid) + "\t" + m_profile);
            return;
        }
        if (::access(m_office.c_str(), X_OK) != 0) {
            replyError("nooffice", "LibreOffice not found: " + m_office);
            return;
        }
        char profileTemplate[] = "/tmp/korvane-office-XXXXXX";
        if (!::mkdtemp(profileTemplate)) {
            replyError("start", std::string("cannot make a profile folder: ") + std::strerror(errno));
            return;
        }
        m_profile = profileTemplate;
        const std::string pipeName =
            "korvane-" + std::to_string(::getpid()) + "-" + m_profile.substr(m_profile.size() - 6);
        std::vector<std::string> args = {m_office,          "-env:UserInstallation=file://" + m_profile,
                                         "--headless",      "--invisible",
                                         "--nologo",        "--norestore",
                                         "--nodefault",     "--nolockcheck",
                                         "--nocrashreport", "--accept=pipe,name=" + pipeName + ";urp;"};
        const pid_t pid = ::fork();
        if (pid < 0) {
            replyError("start", std::string("fork: ") + std::strerror(errno));
            return;
        }
        if (pid == 0) {
            // Own process group, so the whole office (script, splash, soffice.bin) can be killed at once.
            ::setsid();
            const int devnull = ::open("/dev/null", O_RDWR);
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(m_office.c_str(), argv.data());
            ::_exit(127);
        }
        m_officePid = pid;
        // Told at once, so that Korvane can still end the office if this helper dies while connecting.
        reply("started\t" + std::to_string(m_officePid) + "\t" + m_profile);

        try {
            if (!m_local.is()) {
                ::setenv("URE_BOOTSTRAP", kFundamentalRc, 1);
                m_local = cppu::defaultBootstrap_InitialComponentContext();
            }
            const Reference<css::bridge::XUnoUrlResolver> resolver =
                css::bridge::UnoUrlResolver::create(m_local);
            const OUString url = fromUtf8("uno:pipe,name=" + pipeName + ";urp;StarOffice.ComponentContext");
            const auto deadline = std::chrono::steady_clock::now() + kConnectLimit;
            Reference<css::uno::XComponentContext> remote;
            while (!remote.is()) {
                try {
                    remote.set(resolver->resolve(url), UNO_QUERY);
                } catch (const css::uno::Exception&) {
                    if (officeEnded() || std::chrono::steady_clock::now() > deadline)
                        throw;
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            }
            m_desktop = css::frame::Desktop::create(remote);
        } catch (const css::uno::Exception& e) {
            stopOffice();
            replyError("start", "cannot connect to LibreOffice: " + toUtf8(e.Message));
            return;
        }
        m_interaction = new Interaction;
        reply("ok\t" + std::to_string(m_officePid) + "\t" + m_profile);
    }

    void load(const std::string& urlPath, const std::string* password, bool probe = false) {
        if (!m_desktop.is()) {
            replyError("protocol", "office not started");
            return;
        }
        m_interaction->reset();
        std::vector<css::beans::PropertyValue> args = {
            property("Hidden", css::uno::Any(true)),
            property("ReadOnly", css::uno::Any(!probe)),
            property("MacroExecutionMode", css::uno::Any(css::document::MacroExecMode::NEVER_EXECUTE)),
            property("UpdateDocMode", css::uno::Any(css::document::UpdateDocMode::NO_UPDATE)),
            property("InteractionHandler",
                     css::uno::Any(Reference<css::task::XInteractionHandler>(m_interaction.get()))),
        };
        if (password)
            args.push_back(property("Password", css::uno::Any(fromUtf8(*password))));
        const OUString url = fromUtf8("file://" + urlPath);
        Reference<css::lang::XComponent> document;
        std::string failure;
        try {
            document = m_desktop->loadComponentFromURL(url, "_blank", 0,
                                                       css::uno::Sequence<css::beans::PropertyValue>(
                                                           args.data(), static_cast<sal_Int32>(args.size())));
        } catch (const css::uno::Exception& e) {
            failure = toUtf8(e.Message);
        }
        if (!document.is() && officeDied()) {
            replyError("crashed", failure);
            return;
        }
        if (!document.is()) {
            // With a password given, the office refuses a wrong one with an error-code request
            // (measured: 0x1000f), not with a second password request.
            if (m_interaction->locked)
                replyError("locked", failure);
            else if (password)
                replyError("wrongpassword", failure.empty() ? m_interaction->lastRequest : failure);
            else if (m_interaction->passwordAsked)
                replyError("password", failure);
            else
                replyError("load", failure.empty() ? m_interaction->lastRequest : failure);
            return;
        }
        std::string filter;
        bool readOnly = true;
        try {
            if (Reference<css::frame::XModel> model{document, UNO_QUERY}; model.is()) {
                for (const auto& arg : model->getArgs()) {
                    OUString value;
                    if (arg.Name == "FilterName" && (arg.Value >>= value))
                        filter = toUtf8(value);
                }
            }
            if (Reference<css::frame::XStorable> storable{document, UNO_QUERY}; storable.is())
                readOnly = storable->isReadonly();
        } catch (const css::uno::Exception&) {
        }
        if (probe) {
            try {
                if (Reference<css::util::XCloseable> closeable{document, UNO_QUERY}; closeable.is())
                    closeable->close(true);
            } catch (const css::uno::Exception&) {
            }
            reply(std::string("ok\t") + (readOnly ? "1" : "0"));
            return;
        }
        const int id = ++m_lastId;
        m_documents[id] = document;
        reply("ok\t" + std::to_string(id) + "\t" + oneLine(filter) + "\t" + (readOnly ? "1" : "0") +
              (m_interaction->locked ? "\tlocked" : ""));
    }

    void store(int id, const std::string& targetPath, const std::string* password) {
        const auto found = m_documents.find(id);
        Reference<css::frame::XStorable> storable;
        if (found != m_documents.end())
            storable.set(found->second, UNO_QUERY);
        if (!storable.is()) {
            replyError("protocol", "no such document");
            return;
        }
        std::vector<css::beans::PropertyValue> args = {
            property("FilterName", css::uno::Any(OUString("MS Word 97"))),
            property("Overwrite", css::uno::Any(true)),
        };
        if (password)
            args.push_back(property("Password", css::uno::Any(fromUtf8(*password))));
        try {
            storable->storeToURL(fromUtf8("file://" + targetPath),
                                 css::uno::Sequence<css::beans::PropertyValue>(
                                     args.data(), static_cast<sal_Int32>(args.size())));
        } catch (const css::task::ErrorCodeIOException& e) {
            if (officeDied()) {
                replyError("crashed", toUtf8(e.Message));
                return;
            }
            std::ostringstream text;
            text << "0x" << std::hex << e.ErrCode << " " << toUtf8(e.Message);
            replyError("store", text.str());
            return;
        } catch (const css::uno::Exception& e) {
            replyError(officeDied() ? "crashed" : "store", toUtf8(e.Message));
            return;
        }
        reply("ok");
    }

    void close(int id) {
        const auto found = m_documents.find(id);
        if (found == m_documents.end()) {
            replyError("protocol", "no such document");
            return;
        }
        const Reference<css::lang::XComponent> document = found->second;
        m_documents.erase(found);
        try {
            if (Reference<css::util::XCloseable> closeable{document, UNO_QUERY}; closeable.is())
                closeable->close(true);
            else
                document->dispose();
        } catch (const css::uno::Exception& e) {
            replyError(officeDied() ? "crashed" : "close", toUtf8(e.Message));
            return;
        }
        reply("ok");
    }

    void quit() {
        stopOffice();
        reply("ok");
    }

private:
    /// After a failed call: whether the office is gone. Then everything of it is cleaned up
    /// here, so nothing of the dead office (process group, profile) outlives the reply.
    bool officeDied() {
        bool died = officeEnded();
        if (!died && m_desktop.is()) {
            try {
                m_desktop->getCurrentComponent(); // any call: a dead bridge throws DisposedException
            } catch (const css::lang::DisposedException&) {
                died = true;
            } catch (const css::uno::RuntimeException&) {
                died = true;
            }
        }
        if (died) {
            if (m_officePid > 0)
                ::kill(-m_officePid, SIGKILL); // half-dead offices do not terminate politely
            m_documents.clear();
            m_desktop.clear();
            stopOffice();
        }
        return died;
    }

    bool officeEnded() {
        if (m_officePid <= 0)
            return true;
        int status = 0;
        if (::waitpid(m_officePid, &status, WNOHANG) == m_officePid) {
            m_officePid = -1;
            return true;
        }
        return false;
    }

    void stopOffice() {
        for (auto& [id, document] : m_documents) {
            try {
                if (Reference<css::util::XCloseable> closeable{document, UNO_QUERY}; closeable.is())
                    closeable->close(true);
            } catch (const css::uno::Exception&) {
            }
        }
        m_documents.clear();
        if (m_desktop.is()) {
            try {
                m_desktop->terminate();
            } catch (const css::uno::Exception&) {
                // The bridge goes down with the office; that is the expected way out.
            }
            m_desktop.clear();
        }
        if (m_officePid > 0) {
            const auto deadline = std::chrono::steady_clock::now() + kQuitLimit;
            while (!officeEnded() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            // Whatever is left of the office's process group goes now.
            if (m_officePid > 0) {
                ::kill(-m_officePid, SIGKILL);
                ::waitpid(m_officePid, nullptr, 0);
                m_officePid = -1;
            }
        }
        if (!m_profile.empty()) {
            ::nftw(m_profile.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
            m_profile.clear();
        }
    }

    std::string m_office;
    std::string m_profile;
    pid_t m_officePid = -1;
    Reference<css::uno::XComponentContext> m_local;
    Reference<css::frame::XDesktop2> m_desktop;
    rtl::Reference<Interaction> m_interaction;
    std::map<int, Reference<css::lang::XComponent>> m_documents;
    int m_lastId = 0;
};

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, '\t'))
        fields.push_back(field);
    if (!line.empty() && line.back() == '\t')
        fields.emplace_back();
    return fields;
}

} // namespace

int main(int argc, char* argv[]) {
    // Korvane may die while the office runs; a closed pipe must not kill us before we clean up.
    std::signal(SIGPIPE, SIG_IGN);
    Helper helper(argc > 1 ? argv[1] : kDefaultOffice);
    std::string line;
    while (std::getline(std::cin, line)) {
        const std::vector<std::string> f = splitTabs(line);
        if (f.empty())
            continue;
        try {
            if (f[0] == "start") {
                helper.start();
            } else if (f[0] == "load" && f.size() >= 2) {
                const std::string password = f.size() >= 3 ? percentDecode(f[2]) : std::string();
                helper.load(f[1], f.size() >= 3 ? &password : nullptr);
            } else if (f[0] == "probe" && f.size() >= 2) {
                const std::string password = f.size() >= 3 ? percentDecode(f[2]) : std::string();
                helper.load(f[1], f.size() >= 3 ? &password : nullptr, true);
            } else if (f[0] == "store" && f.size() >= 3) {
                const std::string password = f.size() >= 4 ? percentDecode(f[3]) : std::string();
                helper.store(std::stoi(f[1]), f[2], f.size() >= 4 ? &password : nullptr);
            } else if (f[0] == "close" && f.size() >= 2) {
                helper.close(std::stoi(f[1]));
            } else if (f[0] == "quit") {
                helper.quit();
                return 0;
            } else {
                replyError("protocol", "unknown command");
            }
        } catch (const css::uno::Exception& e) {
            replyError("protocol", toUtf8(e.Message));
        } catch (const std::exception& e) {
            replyError("protocol", e.what());
        }
    }
    return 0; // the helper's destructor stops the office
}
