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

/// "Word文件批量加密": sets (or, with both boxes empty, removes) the open and modify passwords
/// of every listed document through the word processor.
class frmjmword : public batchlist::BatchListWindow, private platform::WordEvents {
    Q_OBJECT
public:
    /// How often a document that fails to open is tried before the run reports it and goes on.
    static constexpr int kOpenAttempts = 3;

    frmjmword(platform::Services& services, platform::WordAutomation& word, QWidget* parent = nullptr);
    ~frmjmword() override;

    /// Obtains the application into `wordapp`; shows the error's description when it cannot.
    void init();
    /// A document has opened: sets the run's passwords on it.
    void wordapp_DocumentOpen(platform::WordDocument& document);
    /// The word processor quits: lets it go.
    void wordapp_Quit();

    /// The application held between runs (after a run that met an empty list), for tests.
    bool holdsApplication() const { return wordapp != nullptr; }

    /// Takes the password boxes' texts for the next run. The run's hooks read only this
    /// snapshot, never the widgets, so they may run on a worker thread; whoever starts such a
    /// run calls this on the user-interface thread first (a run on that thread takes it itself).
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
    bool beforeListCheck() override;
    bool prepareRun() override;
    QStringList comp(const batchlist::BatchEntry& entry) override;
    void completeRun(const std::vector<batchlist::BatchEntry>& entries) override;
    void runControlChanged(platform::RunControl* control) override;
    void Form_Unload() override;

private:
    void DocumentOpen(platform::WordDocument& document) override { wordapp_DocumentOpen(document); }
    void Quit() override { wordapp_Quit(); }
    void release();

    platform::WordAutomation& m_word;
    std::shared_ptr<platform::WordApplication> wordapp;
    QStringList m_failures; ///< lines of the document being processed
    struct RunSettings {
        QString password;
        QString writePassword;
    } m_settings;
    int m_failedDocuments = 0;
    platform::RunControl* m_runControl = nullptr; ///< the run in progress, if any
    bool m_noteShown = false;

    QLabel* m_label5 = nullptr;   ///< (要批量解密只需保持密码框为空)
    QLabel* m_label6 = nullptr;   ///< 加密使用的密码:
    QLabel* m_label7 = nullptr;   ///< 读密码:
    QLabel* m_label8 = nullptr;   ///< 写密码:
    QLineEdit* m_text2 = nullptr; ///< the open password (读密码)
    QLineEdit* m_text4 = nullptr; ///< the modify password (写密码)
};

} // namespace korvane::wordcrypt
