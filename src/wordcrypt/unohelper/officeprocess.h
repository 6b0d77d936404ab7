#pragma once

#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <rtl/ref.hxx>

#include <csignal>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace korvane::unohelper {

class Interaction;

/// The signals the helper's guard thread takes (blocked in every other thread): a hang-up of
/// Korvane's terminal or a plain kill ends the office with the helper. SIGINT is left as Korvane
/// gave it: the command line blocks it, so Ctrl-C stops a run cleanly instead.
inline constexpr int kGuardedSignals[] = {SIGHUP, SIGTERM};

/// One headless office with a private profile, in its own process group, and the documents
/// loaded into it. Each call answers with the reply line for Korvane; when the office dies
/// during a call, everything of it (process group, profile) is cleaned up before the reply.
class OfficeProcess {
public:
    explicit OfficeProcess(std::string office);
    ~OfficeProcess();
    OfficeProcess(const OfficeProcess&) = delete;
    OfficeProcess& operator=(const OfficeProcess&) = delete;

    /// Starts the office and connects to it. `tell` gets the "started" line as soon as the
    /// office process exists, so that Korvane can end it even if the helper dies meanwhile.
    std::string start(const std::function<void(const std::string&)>& tell);
    /// Loads a document read-only (for editing with `probe`, which closes it again at once).
    std::string load(const std::string& urlPath, const std::string* password, bool probe = false);
    /// Exports a loaded document as Word 97 to `targetPath`.
    std::string store(int id, const std::string& targetPath, const std::string* password);
    std::string close(int id);
    /// Terminates the office, kills what is left of its process group, removes the profile.
    void stop();
    /// From any thread, when the helper has to go at once (hang-up, Korvane gone): kills the
    /// office's process group and removes its profile without a word to the office. The caller
    /// ends the process next; the office is left locked, so nothing else touches it meanwhile.
    void abandon();

private:
    std::string launch(const std::string& pipeName);
    std::string connect(const std::string& pipeName);
    std::string loadFailure(const std::string& failure, bool withPassword);
    std::string startedFields() const;
    bool officeDied();
    bool officeEnded();

    void setOffice(pid_t pid, std::string profile);
    void endOffice();

    std::string m_office;
    // Written on the command thread under m_guard; abandon() reads them from another thread.
    std::mutex m_guard;
    std::string m_profile;
    pid_t m_officePid = -1;
    com::sun::star::uno::Reference<com::sun::star::uno::XComponentContext> m_local;
    com::sun::star::uno::Reference<com::sun::star::frame::XDesktop2> m_desktop;
    rtl::Reference<Interaction> m_interaction;
    std::map<int, com::sun::star::uno::Reference<com::sun::star::lang::XComponent>> m_documents;
    int m_lastId = 0;
};

} // namespace korvane::unohelper
