#include "officeprocess.h"

#include "unotext.h"

#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/bridge/XUnoUrlResolver.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/UpdateDocMode.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/task/ErrorCodeIOException.hpp>
#include <com/sun/star/task/ErrorCodeRequest.hpp>
#include <com/sun/star/task/XInteractionAbort.hpp>
#include <com/sun/star/task/XInteractionDisapprove.hpp>
#include <com/sun/star/task/XInteractionHandler.hpp>
#include <com/sun/star/task/XInteractionRequest.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace korvane::unohelper {

namespace css = com::sun::star;
using css::uno::Reference;
using css::uno::UNO_QUERY;
using rtl::OUString;
namespace protocol = wordcrypt::officeprotocol;

namespace {

const char* const kFundamentalRc = "vnd.sun.star.pathname:/usr/lib/libreoffice/program/fundamentalrc";
constexpr auto kConnectLimit = std::chrono::seconds(60);
constexpr auto kQuitLimit = std::chrono::seconds(10);

int removeEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return ::remove(path);
}

css::uno::Sequence<css::beans::PropertyValue> sequence(const std::vector<css::beans::PropertyValue>& args)
{
    return css::uno::Sequence<css::beans::PropertyValue>(args.data(), static_cast<sal_Int32>(args.size()));
}

/// Closes a document, ignoring whatever the office says.
void closeQuietly(const Reference<css::lang::XComponent>& document)
{
    try {
        if (Reference<css::util::XCloseable> closeable{document, UNO_QUERY}; closeable.is())
            closeable->close(true);
    } catch (const css::uno::Exception&) {
    }
}

} // namespace

/// Answers every question of the office with "no": a password request is remembered so the
/// caller can ask the user, a lock is reported; nothing ever waits for a person.
class Interaction : public cppu::WeakImplHelper1<css::task::XInteractionHandler> {
public:
    bool passwordAsked = false;
    bool locked = false;
    std::string lastRequest;

    void reset()
    {
        passwordAsked = false;
        locked = false;
        lastRequest.clear();
    }

    void SAL_CALL handle(const Reference<css::task::XInteractionRequest>& request) override
    {
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

OfficeProcess::OfficeProcess(std::string office) : m_office(std::move(office)) {}

OfficeProcess::~OfficeProcess()
{
    stop();
}

std::string OfficeProcess::startedFields() const
{
    return protocol::kSeparator + std::to_string(m_officePid) + protocol::kSeparator + m_profile;
}

std::string OfficeProcess::start(const std::function<void(const std::string&)>& tell)
{
    if (m_desktop.is())
        return protocol::kOk + startedFields();
    if (::access(m_office.c_str(), X_OK) != 0)
        return errorLine(protocol::kNoOffice, "LibreOffice not found: " + m_office);
    char profileTemplate[] = "/tmp/korvane-office-XXXXXX";
    if (!::mkdtemp(profileTemplate))
        return errorLine(protocol::kStartFailed, std::string("cannot make a profile folder: ") + std::strerror(errno));
    setOffice(-1, profileTemplate);
    const std::string pipeName = "korvane-" + std::to_string(::getpid()) + "-" + m_profile.substr(m_profile.size() - 6);
    if (std::string failed = launch(pipeName); !failed.empty())
        return failed;
    // Told at once, so that Korvane can still end the office if this helper dies while connecting.
    tell(protocol::kStarted + startedFields());
    if (std::string failed = connect(pipeName); !failed.empty())
        return failed;
    m_interaction = new Interaction;
    return protocol::kOk + startedFields();
}

/// Starts soffice in its own process group. "" when it runs, else the reply line.
std::string OfficeProcess::launch(const std::string& pipeName)
{
    std::vector<std::string> args = {m_office,          "-env:UserInstallation=file://" + m_profile,
                                     "--headless",      "--invisible",
                                     "--nologo",        "--norestore",
                                     "--nodefault",     "--nolockcheck",
                                     "--nocrashreport", "--accept=pipe,name=" + pipeName + ";urp;"};
    // The helper blocks the signals its guard thread takes; the office gets the mask Korvane gave us.
    sigset_t inherited;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &inherited);
    for (const int signal : kGuardedSignals)
        sigdelset(&inherited, signal);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return errorLine(protocol::kStartFailed, std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        // Own process group, so the whole office (script, splash, soffice.bin) can be killed at once.
        ::setsid();
        ::pthread_sigmask(SIG_SETMASK, &inherited, nullptr);
        // Killed with us even when we are killed outright and cannot end the group ourselves.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
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
    setOffice(pid, m_profile);
    return {};
}

/// Connects to the office started by launch(). "" when connected, else the reply line.
std::string OfficeProcess::connect(const std::string& pipeName)
{
    try {
        if (!m_local.is()) {
            ::setenv("URE_BOOTSTRAP", kFundamentalRc, 1);
            m_local = cppu::defaultBootstrap_InitialComponentContext();
        }
        const Reference<css::bridge::XUnoUrlResolver> resolver = css::bridge::UnoUrlResolver::create(m_local);
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
        stop();
        return errorLine(protocol::kStartFailed, "cannot connect to LibreOffice: " + toUtf8(e.Message));
    }
    return {};
}

std::string OfficeProcess::load(const std::string& urlPath, const std::string* password, bool probe)
{
    if (!m_desktop.is())
        return errorLine(protocol::kProtocol, "office not started");
    m_interaction->reset();
    std::vector<css::beans::PropertyValue> args = {
        property("Hidden", css::uno::Any(true)),
        property("ReadOnly", css::uno::Any(!probe)),
        property("MacroExecutionMode", css::uno::Any(css::document::MacroExecMode::NEVER_EXECUTE)),
        property("UpdateDocMode", css::uno::Any(css::document::UpdateDocMode::NO_UPDATE)),
        property("InteractionHandler", css::uno::Any(Reference<css::task::XInteractionHandler>(m_interaction.get()))),
    };
    if (password)
        args.push_back(property("Password", css::uno::Any(fromUtf8(*password))));
    Reference<css::lang::XComponent> document;
    std::string failure;
    try {
        document = m_desktop->loadComponentFromURL(fromUtf8("file://" + urlPath), "_blank", 0, sequence(args));
    } catch (const css::uno::Exception& e) {
        failure = toUtf8(e.Message);
    }
    if (!document.is())
        return loadFailure(failure, password != nullptr);
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
    const std::string readOnlyField = readOnly ? "1" : "0";
    if (probe) {
        closeQuietly(document);
        return protocol::kOk + (protocol::kSeparator + readOnlyField);
    }
    const int id = ++m_lastId;
    m_documents[id] = document;
    return protocol::kOk + (protocol::kSeparator + std::to_string(id)) + protocol::kSeparator + oneLine(filter) +
           protocol::kSeparator + readOnlyField +
           (m_interaction->locked ? protocol::kSeparator + std::string(protocol::kLockedFlag) : std::string());
}

/// The reply for a load that gave no document.
std::string OfficeProcess::loadFailure(const std::string& failure, bool withPassword)
{
    if (officeDied())
        return errorLine(protocol::kCrashed, failure);
    // With a password given, the office refuses a wrong one with an error-code request
    // (measured: 0x1000f), not with a second password request.
    if (m_interaction->locked)
        return errorLine(protocol::kLocked, failure);
    if (withPassword)
        return errorLine(protocol::kWrongPassword, failure.empty() ? m_interaction->lastRequest : failure);
    if (m_interaction->passwordAsked)
        return errorLine(protocol::kPassword, failure);
    return errorLine(protocol::kLoadFailed, failure.empty() ? m_interaction->lastRequest : failure);
}

std::string OfficeProcess::store(int id, const std::string& targetPath, const std::string* password)
{
    const auto found = m_documents.find(id);
    Reference<css::frame::XStorable> storable;
    if (found != m_documents.end())
        storable.set(found->second, UNO_QUERY);
    if (!storable.is())
        return errorLine(protocol::kProtocol, "no such document");
    std::vector<css::beans::PropertyValue> args = {
        property("FilterName", css::uno::Any(OUString::createFromAscii(protocol::kWord97Filter))),
        property("Overwrite", css::uno::Any(true)),
    };
    if (password)
        args.push_back(property("Password", css::uno::Any(fromUtf8(*password))));
    try {
        storable->storeToURL(fromUtf8("file://" + targetPath), sequence(args));
    } catch (const css::task::ErrorCodeIOException& e) {
        if (officeDied())
            return errorLine(protocol::kCrashed, toUtf8(e.Message));
        std::ostringstream text;
        text << "0x" << std::hex << e.ErrCode << " " << toUtf8(e.Message);
        return errorLine(protocol::kStoreFailed, text.str());
    } catch (const css::uno::Exception& e) {
        return errorLine(officeDied() ? protocol::kCrashed : protocol::kStoreFailed, toUtf8(e.Message));
    }
    return protocol::kOk;
}

std::string OfficeProcess::close(int id)
{
    const auto found = m_documents.find(id);
    if (found == m_documents.end())
        return errorLine(protocol::kProtocol, "no such document");
    const Reference<css::lang::XComponent> document = found->second;
    m_documents.erase(found);
    try {
        if (Reference<css::util::XCloseable> closeable{document, UNO_QUERY}; closeable.is())
            closeable->close(true);
        else
            document->dispose();
    } catch (const css::uno::Exception& e) {
        return errorLine(officeDied() ? protocol::kCrashed : protocol::kCloseFailed, toUtf8(e.Message));
    }
    return protocol::kOk;
}

/// After a failed call: whether the office is gone. Then everything of it is cleaned up
/// here, so nothing of the dead office (process group, profile) outlives the reply.
bool OfficeProcess::officeDied()
{
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
        stop();
    }
    return died;
}

bool OfficeProcess::officeEnded()
{
    if (m_officePid <= 0)
        return true;
    int status = 0;
    if (::waitpid(m_officePid, &status, WNOHANG) == m_officePid) {
        ::kill(-m_officePid, SIGKILL); // anything the office left running in its group
        setOffice(-1, m_profile);
        return true;
    }
    return false;
}

void OfficeProcess::stop()
{
    for (auto& entry : m_documents)
        closeQuietly(entry.second);
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
    }
    endOffice();
}

void OfficeProcess::setOffice(pid_t pid, std::string profile)
{
    const std::lock_guard lock(m_guard);
    m_officePid = pid;
    m_profile = std::move(profile);
}

/// Whatever is left of the office's process group goes, and its profile.
void OfficeProcess::endOffice()
{
    const std::lock_guard lock(m_guard);
    if (m_officePid > 0) {
        ::kill(-m_officePid, SIGKILL);
        ::waitpid(m_officePid, nullptr, 0);
        m_officePid = -1;
    }
    if (!m_profile.empty()) {
        ::nftw(m_profile.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
        m_profile.clear();
    }
}

void OfficeProcess::abandon()
{
    m_guard.lock(); // never unlocked: the process ends right after
    if (m_officePid > 0)
        ::kill(-m_officePid, SIGKILL);
    if (!m_profile.empty())
        ::nftw(m_profile.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

} // namespace korvane::unohelper
