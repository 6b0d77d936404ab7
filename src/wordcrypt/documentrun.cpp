#include "wordcrypt/documentrun.h"

#include "platform/nativepath.h"
#include "platform/runcontrol.h"
#include "wordcrypt/documentpasswords.h"
#include "wordcrypt/worddocfile.h"

#include <utility>

#include <algorithm>
namespace korvane::wordcrypt {

using platform::ErrorKind;
using platform::Status;

namespace {

const QString kApplicationClass = QStringLiteral("word.Application");

} // namespace

std::optional<QString> RunPasswordPrompt::askPassword(const QString& fileName)
{
    if (m_kept && !m_askAgain) {
        m_answeredFromKept = true;
        return m_kept;
    }
    if (!m_offering)
        return m_user.askPassword(fileName);
    const bool again = std::exchange(m_askAgain, false);
    const std::optional<PasswordAnswer> answer = m_offering->askForRun(fileName, again);
    if (!answer)
        return std::nullopt;
    if (answer->forRemaining) {
        m_kept = answer->password;
        m_keptHere = true;
    }
    return answer->password;
}

void RunPasswordPrompt::forget()
{
    m_kept.reset();
    beginDocument();
}

void RunPasswordPrompt::beginDocument()
{
    m_answeredFromKept = false;
    m_keptHere = false;
    m_askAgain = false;
}

bool RunPasswordPrompt::openRefused()
{
    if (std::exchange(m_answeredFromKept, false)) {
        m_askAgain = true;
        return true;
    }
    // Typed wrong with the box ticked: the same mistake must not reach the other documents.
    if (std::exchange(m_keptHere, false))
        m_kept.reset();
    return false;
}

DocumentEncryptor::DocumentEncryptor(platform::WordAutomation& word, RunPasswordPrompt& prompt)
    : m_word(word), m_prompt(prompt)
{}

DocumentEncryptor::~DocumentEncryptor()
{
    release();
}

QString DocumentEncryptor::passwordTooLongText()
{
    return wordcrypt::passwordTooLongText();
}

QString DocumentEncryptor::exportNoteText()
{
    return QStringLiteral("提示:文档由 LibreOffice 按 Word 97-2003 格式重新保存,"
                          "LibreOffice 不能保留的内容可能会改变。");
}

Status DocumentEncryptor::checkPasswords(const DocumentRunSettings& settings)
{
    if (!passwordFits(settings.password) || !passwordFits(settings.writePassword))
        return Status::failure(ErrorKind::Failed, passwordTooLongText());
    return {};
}

void DocumentEncryptor::release()
{
    // Dropping the last reference ends the office; no event may reach an engine going away.
    if (wordapp)
        wordapp->setEvents(nullptr);
    wordapp.reset();
}

Status DocumentEncryptor::init()
{
    release(); // a new run replaces (and so ends) what an earlier run left behind
    platform::Result<std::shared_ptr<platform::WordApplication>> app = m_word.getObject(kApplicationClass);
    if (!app)
        app = m_word.createObject(kApplicationClass);
    if (!app)
        return app.status();
    wordapp = std::move(app).value();
    wordapp->setEvents(this);
    return {};
}

Status DocumentEncryptor::start(DocumentRunSettings settings, platform::RunControl& control, InfoSink info)
{
    // Checked before the office starts, so no document is touched by a run that cannot succeed.
    if (Status checked = checkPasswords(settings); !checked.ok())
        return checked;
    m_settings = std::move(settings);
    m_control = &control;
    m_info = std::move(info);
    m_prompt.forget();
    m_word.setRunControl(&control); // a stop also ends the office's start-up
    if (Status obtained = init(); !obtained.ok())
        return obtained;
    wordapp->setVisible(false); // the office runs headless; a failure here changes nothing
    return {};
}

bool DocumentEncryptor::exportNoteWanted() const
{
    return std::any_of(m_settings.documents.cbegin(), m_settings.documents.cend(),
                       [this](const platform::NativePath& path) { return m_word.exportsThroughOffice(path); });
}

void DocumentEncryptor::beginDocuments()
{
    if (!m_noteShown && exportNoteWanted()) {
        m_noteShown = true;
        if (m_info)
            m_info(exportNoteText());
    }
}

Status DocumentEncryptor::openWithRetry(const platform::NativePath& path)
{
    Status opened = Status::failure(ErrorKind::Cancelled, QStringLiteral("LibreOffice 已退出"));
    // Bounded: a document that can never be opened must not stop the run.
    for (int attempt = 0; attempt < kOpenAttempts && wordapp && !(attempt > 0 && stopRequested()); ++attempt) {
        std::shared_ptr<platform::WordApplication> app = wordapp; // the Quit event may drop ours
        opened = app->open(path, false);
        if (!platform::retryHelps(opened))
            break;
    }
    return opened;
}

bool DocumentEncryptor::stopRequested() const
{
    return m_control && m_control->stopRequested();
}

DocumentOutcome DocumentEncryptor::comp(const platform::NativePath& path)
{
    DocumentOutcome outcome{path, DocumentOutcome::State::Done, {}, {}};
    m_failures.clear();
    m_notes.clear();
    m_prompt.beginDocument();
    // A wrong password or a cancelled prompt; a stop is no answer about the password.
    const auto refused = [&](const Status& s) { return s.kind() == ErrorKind::Cancelled && !stopRequested(); };
    Status opened = openWithRetry(path);
    // A kept password that does not open this document: its own is asked for, once.
    if (refused(opened) && m_prompt.openRefused()) {
        opened = openWithRetry(path);
        if (refused(opened))
            (void)m_prompt.openRefused(); // drops a password kept from a wrong answer here
    }
    if (!opened.ok())
        m_failures << QStringLiteral("  打开文档失败: ") + opened.message();
    outcome.failures = std::exchange(m_failures, {});
    outcome.notes = std::exchange(m_notes, {});
    if (!outcome.failures.isEmpty())
        outcome.state = stopRequested() ? DocumentOutcome::State::LeftByStop : DocumentOutcome::State::Failed;
    return outcome;
}

void DocumentEncryptor::wordapp_DocumentOpen(platform::WordDocument& document)
{
    const QStringList failures = applyPasswords(document, m_settings.password, m_settings.writePassword);
    if (failures.isEmpty() && !document.savedAs().isEmpty())
        m_notes << QStringLiteral("  ") + document.savedAs();
    m_failures << failures;
}

void DocumentEncryptor::wordapp_Quit()
{
    // Runs inside Quit: whoever called it still holds the object until the call returns.
    wordapp.reset();
}

void DocumentEncryptor::finish()
{
    if (std::shared_ptr<platform::WordApplication> app = wordapp)
        app->quit();
    release();
    m_prompt.forget(); // a password stays no longer than the run that was given it
    m_word.setRunControl(nullptr);
    m_control = nullptr;
}

void DocumentEncryptor::unload()
{
    // Errors are ignored: after a completed run there is nothing left to quit.
    if (std::shared_ptr<platform::WordApplication> app = wordapp)
        app->quit();
    release();
}

Status DocumentEncryptor::run(DocumentRunSettings settings, platform::RunControl& control, InfoSink info,
                              const std::function<void(const DocumentOutcome&)>& done)
{
    const QList<platform::NativePath> documents = settings.documents;
    if (Status started = start(std::move(settings), control, std::move(info)); !started.ok())
        return started;
    beginDocuments();
    control.setTotal(documents.size());
    for (const platform::NativePath& path : documents) {
        if (control.stopRequested())
            break;
        control.begin(platform::displayPath(path));
        const DocumentOutcome outcome = comp(path);
        if (outcome.state == DocumentOutcome::State::LeftByStop)
            break;
        done(outcome);
        control.advance();
    }
    finish();
    return {};
}

QString failedDocumentsText(const std::vector<DocumentOutcome>& outcomes)
{
    QStringList names;
    for (const DocumentOutcome& outcome : outcomes) {
        if (outcome.state == DocumentOutcome::State::Failed)
            names << platform::displayPath(outcome.path);
    }
    if (names.isEmpty())
        return {};
    constexpr int kShown = 12;
    const qsizetype total = names.size();
    if (total > kShown) {
        names = names.mid(0, kShown);
        names << QStringLiteral("……另有 %1 个文档").arg(total - kShown);
    }
    return QStringLiteral("文档加密已结束,但以下 %1 个文档未能处理:\n\n").arg(total) + names.join(u'\n');
}

QString failedDocumentsDetails(const std::vector<DocumentOutcome>& outcomes)
{
    QStringList lines;
    for (const DocumentOutcome& outcome : outcomes) {
        if (outcome.state != DocumentOutcome::State::Failed)
            continue;
        lines << platform::displayPath(outcome.path) << outcome.failures;
    }
    return lines.join(u'\n');
}

} // namespace korvane::wordcrypt
