#pragma once

#include "batchlist/batchlistwindow.h"
#include "platform/runcontrol.h"
#include "platform/wordprocessor.h"
#include "wordcrypt/documentrun.h"

#include <memory>

class QLabel;
class QLineEdit;

namespace korvane::wordcrypt {

/// The document encryptor's part of a batch list run: the engine and what the run took from the
/// window. Not a widget, so its calls on the run's worker reach no control.
class WordEncryptRun final : public batchlist::BatchRunHooks {
public:
    WordEncryptRun(platform::WordAutomation& word, RunPasswordPrompt& prompt) : m_engine(word, prompt) {}

    DocumentRunSettings settings; ///< taken from the window before the run

    bool holdsApplication() const { return m_engine.holdsApplication(); }
    /// The window closes: a held application quits.
    void unload() { m_engine.unload(); }

    bool beforeListCheck(batchlist::BatchRunContext& run) override;
    bool prepareRun(batchlist::BatchRunContext& run, const std::vector<batchlist::BatchEntry>& entries) override;
    QStringList comp(batchlist::BatchRunContext& run, const batchlist::BatchEntry& entry) override;
    void completeRun(batchlist::BatchRunContext& run, const std::vector<batchlist::BatchEntry>& entries) override;

private:
    DocumentEncryptor m_engine;
    std::vector<DocumentOutcome> m_outcomes; ///< this run's so far, on its worker: the end box's
};

/// "Word文件批量加密": sets (or, with both boxes empty, removes) the open and modify passwords
/// of every listed document through the word processor. The run itself is DocumentEncryptor's;
/// the window maps its boxes and list onto it and its outcomes onto lines and a message box.
class frmjmword : public batchlist::BatchListWindow {
    Q_OBJECT
public:
    /// `prompt` is what `word` asks documents' passwords through.
    frmjmword(platform::Services& services, platform::WordAutomation& word, RunPasswordPrompt& prompt,
              QWidget* parent = nullptr);
    ~frmjmword() override;

    /// The application held between runs (after a run that met an empty list), for tests.
    bool holdsApplication() const { return m_encrypt.holdsApplication(); }

    /// Takes the password boxes' texts and the list for the next run. The run's hooks read only
    /// this snapshot, never the widgets, on their worker thread.
    void captureRunSettings();
    /// The stop token of the runs from now on (null: none), handed on to the word processor.
    void setRunControl(platform::RunControl* control);

protected:
    QString runAction() const override;
    batchlist::BatchRunHooks& runHooks() override;
    void runControlChanged(platform::RunControl* control) override;
    void Form_Unload() override;

private:
    platform::WordAutomation& m_word;
    WordEncryptRun m_encrypt;

    QLabel* m_label5 = nullptr;   ///< (要批量解密只需保持密码框为空)
    QLabel* m_label6 = nullptr;   ///< 加密使用的密码:
    QLabel* m_label7 = nullptr;   ///< 读密码:
    QLabel* m_label8 = nullptr;   ///< 写密码:
    QLineEdit* m_text2 = nullptr; ///< the open password (读密码)
    QLineEdit* m_text4 = nullptr; ///< the modify password (写密码)
};

} // namespace korvane::wordcrypt
