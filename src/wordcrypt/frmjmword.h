#pragma once

#include "batchlist/batchlistwindow.h"
#include "platform/wordprocessor.h"

#include <memory>

class QLabel;
class QLineEdit;

namespace korvane::platform {
class RunControl;
}

namespace korvane::wordcrypt {

/// The document encryptor's part of a batch list run, and the word processor it holds: not a
/// widget, so its calls on the run's worker reach no control.
class WordEncryptRun final : public batchlist::BatchRunHooks, private platform::WordEvents {
public:
    /// `messages` must be safe from the worker; `owner` is the boxes' parent.
    WordEncryptRun(platform::WordAutomation& word, platform::MessageBoxes& messages, QWidget* owner);
    ~WordEncryptRun() override;

    /// The password boxes' texts, taken before the run.
    struct RunSettings {
        QString password;
        QString writePassword;
    } settings;

    /// Obtains the application into `wordapp`; shows the error's description when it cannot.
    void init();
    /// A document has opened: sets the run's passwords on it.
    void wordapp_DocumentOpen(platform::WordDocument& document);
    /// The word processor quits: lets it go.
    void wordapp_Quit();
    /// Lets a held word processor quit.
    void quit();
    bool holdsApplication() const { return wordapp != nullptr; }
    /// The stop token of the runs from now on (null: none), handed on to the word processor.
    void setRunControl(platform::RunControl* control);

    bool beforeListCheck(batchlist::BatchRunContext& run) override;
    bool prepareRun(batchlist::BatchRunContext& run, const std::vector<batchlist::BatchEntry>& entries) override;
    QStringList comp(batchlist::BatchRunContext& run, const batchlist::BatchEntry& entry) override;
    void completeRun(batchlist::BatchRunContext& run, const std::vector<batchlist::BatchEntry>& entries) override;

private:
    void DocumentOpen(platform::WordDocument& document) override { wordapp_DocumentOpen(document); }
    void Quit() override { wordapp_Quit(); }
    void release();

    platform::WordAutomation& m_word;
    platform::MessageBoxes& m_messages;
    QWidget* m_owner;
    std::shared_ptr<platform::WordApplication> wordapp;
    QStringList m_failures; ///< lines of the document being processed
    int m_failedDocuments = 0;
    bool m_noteShown = false;
};

/// "Word文件批量加密": sets (or, with both boxes empty, removes) the open and modify passwords
/// of every listed document through the word processor.
class frmjmword : public batchlist::BatchListWindow {
    Q_OBJECT
public:
    /// How often a document that fails to open is tried before the run reports it and goes on.
    static constexpr int kOpenAttempts = 3;

    frmjmword(platform::Services& services, platform::WordAutomation& word, QWidget* parent = nullptr);
    ~frmjmword() override;

    /// The application held between runs (after a run that met an empty list), for tests.
    bool holdsApplication() const { return m_encrypt.holdsApplication(); }

    /// Takes the password boxes' texts for the next run. The run's hooks read only this
    /// snapshot, never the widgets, on their worker thread.
    void captureRunSettings();
    /// The stop token of the runs from now on (null: none), handed on to the word processor.
    void setRunControl(platform::RunControl* control);

    /// Shown once, before any document is touched, when a box holds a longer password.
    static QString passwordTooLongText();
    /// Written once into the information box, at the window's first run.
    static QString exportNoteText();
    /// Follows the end line of a run in which `failed` documents were not processed.
    static QString unprocessedText(int failed);

protected:
    QString runAction() const override;
    batchlist::BatchRunHooks& runHooks() override;
    void runControlChanged(platform::RunControl* control) override;
    void Form_Unload() override;

private:
    WordEncryptRun m_encrypt;

    QLabel* m_label5 = nullptr;   ///< (要批量解密只需保持密码框为空)
    QLabel* m_label6 = nullptr;   ///< 加密使用的密码:
    QLabel* m_label7 = nullptr;   ///< 读密码:
    QLabel* m_label8 = nullptr;   ///< 写密码:
    QLineEdit* m_text2 = nullptr; ///< the open password (读密码)
    QLineEdit* m_text4 = nullptr; ///< the modify password (写密码)
};

} // namespace korvane::wordcrypt
