#pragma once

#include "platform/filesystem.h"
#include "platform/wordprocessor.h"

#include <QList>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace korvane::platform {
class RunControl;
}

namespace korvane::wordcrypt {

/// How often a document that fails to open is tried before the run reports it and goes on.
inline constexpr int kOpenAttempts = 3;

/// The answer of a prompt that offers to keep it for the rest of the run.
struct PasswordAnswer {
    QString password;
    bool forRemaining = false; ///< use it for the remaining documents of this run
};

/// A password prompt that can also offer to use its answer for every further document of the
/// run that needs one (the dialog's check box, an option of the command line).
class BatchPasswordPrompt : public platform::DocumentPasswordPrompt {
public:
    /// Asks for the current password of `fileName`, with the offer. `again`: the password kept
    /// from an earlier document did not open this one. nullopt when the user cancels.
    virtual std::optional<PasswordAnswer> askForRun(const QString& fileName, bool again) = 0;
};

/// What the word processor asks through during a run: the user's prompt, except that once the
/// user chose to keep a password it answers the remaining documents of the run. Every document
/// still gets its own try with it; one that the kept password does not open is asked for again
/// (DocumentEncryptor::comp). A kept password that did not open the document it was typed for
/// is dropped. Asked on the user-interface thread while the run waits in `open`; the run's
/// calls come between opens, so the state needs no lock.
class RunPasswordPrompt final : public platform::DocumentPasswordPrompt {
public:
    /// A prompt without the offer: every question goes to it.
    explicit RunPasswordPrompt(platform::DocumentPasswordPrompt& user) : m_user(user) {}
    explicit RunPasswordPrompt(BatchPasswordPrompt& user) : m_user(user), m_offering(&user) {}

    std::optional<QString> askPassword(const QString& fileName) override;

    /// A run begins or has ended: no password is kept.
    void forget();
    /// The next document: nothing has been asked for it yet.
    void beginDocument();
    /// The document's open was refused (a wrong password or a cancel). True when the kept
    /// password was tried and the user should now be asked for this document's own.
    bool openRefused();
    bool keepsPassword() const { return m_kept.has_value(); }

private:
    platform::DocumentPasswordPrompt& m_user;
    BatchPasswordPrompt* m_offering = nullptr;
    std::optional<QString> m_kept;
    bool m_answeredFromKept = false; ///< this document was given the kept password
    bool m_keptHere = false;         ///< the kept password was typed for this document
    bool m_askAgain = false;         ///< the kept password failed here: ask the user
};

/// What a run takes before it starts: the two boxes' texts exactly as typed, and the documents.
struct DocumentRunSettings {
    QString password;      ///< needed to open a document afterwards; "" removes it
    QString writePassword; ///< needed to save changes to it; "" removes it
    QList<platform::NativePath> documents;
};

/// What became of one document.
struct DocumentOutcome {
    enum class State {
        Done,
        Failed,
        LeftByStop, ///< a stop ended its open: left as it was, not processed
    };
    platform::NativePath path;
    State state = State::Done;
    QStringList failures; ///< information lines, each indented by two spaces
    QStringList notes;    ///< lines about a document done (written in another format), indented alike
};

/// The document encryptor's run, for the window and `korvane-cli doc`: obtaining the word
/// processor, opening each document (retried while another try can help), setting its
/// passwords inside the open event, and the quit. QtCore only; it belongs to no thread, but
/// every call of one run comes from one thread.
class DocumentEncryptor final : private platform::WordEvents {
public:
    using InfoSink = std::function<void(const QString& line)>;

    /// `prompt` must be what `word` asks documents' passwords through.
    DocumentEncryptor(platform::WordAutomation& word, RunPasswordPrompt& prompt);
    ~DocumentEncryptor() override;

    /// Shown once, before any document is touched, when a box holds a longer password.
    static QString passwordTooLongText();
    /// Written once into the information box, at the first run that sends documents through
    /// LibreOffice's export.
    static QString exportNoteText();
    /// Refuses passwords the document format cannot hold, before anything starts.
    static platform::Status checkPasswords(const DocumentRunSettings& settings);

    /// The run's first step: the password check, then `init` (bind to a running application,
    /// else create one) and `Visible = false`. A failure's message is for the user; nothing is
    /// held then. Replaces (and so ends) what an earlier run left held.
    platform::Status start(DocumentRunSettings settings, platform::RunControl& control, InfoSink info);
    /// After the empty-list test: the lines that precede the documents.
    void beginDocuments();
    /// One document (`comp`): the open, and inside it the passwords, save and close.
    DocumentOutcome comp(const platform::NativePath& path);
    /// The run's last step: the application quits and is let go, the kept password forgotten.
    void finish();
    /// The window closes: a held application quits, errors ignored.
    void unload();
    bool holdsApplication() const { return wordapp != nullptr; }

    /// A whole run as the command line makes it: start, every document in order, each outcome
    /// handed to `done` as it ends, finish. Stops before the next document once a stop is
    /// requested. The status is start()'s.
    platform::Status run(DocumentRunSettings settings, platform::RunControl& control, InfoSink info,
                         const std::function<void(const DocumentOutcome&)>& done);

    /// `DocumentOpen`: sets the run's passwords, saves and closes the document.
    void wordapp_DocumentOpen(platform::WordDocument& document);
    /// `Quit`: lets the application go.
    void wordapp_Quit();

private:
    void DocumentOpen(platform::WordDocument& document) override { wordapp_DocumentOpen(document); }
    void Quit() override { wordapp_Quit(); }
    platform::Status init();
    platform::Status openWithRetry(const platform::NativePath& path);
    bool stopRequested() const;
    void release();
    /// Whether the run's documents go through LibreOffice's export, which the note is about.
    bool exportNoteWanted() const;

    platform::WordAutomation& m_word;
    RunPasswordPrompt& m_prompt;
    std::shared_ptr<platform::WordApplication> wordapp;
    DocumentRunSettings m_settings;
    platform::RunControl* m_control = nullptr;
    InfoSink m_info;
    QStringList m_failures; ///< lines of the document being processed
    QStringList m_notes;    ///< notes on it
    bool m_noteShown = false;
};

/// The message box text after a run in which documents were not processed: names them (at most
/// twelve). Empty when every document was done.
QString failedDocumentsText(const std::vector<DocumentOutcome>& outcomes);
/// The box's details: each such document with its reasons.
QString failedDocumentsDetails(const std::vector<DocumentOutcome>& outcomes);

} // namespace korvane::wordcrypt
