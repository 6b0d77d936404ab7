#pragma once

#include "batchlist/batchlistwindow.h"
#include "platform/runcontrol.h"
#include "platform/wordprocessor.h"
#include "wordcrypt/documentrun.h"

#include <memory>

class QLabel;
class QLineEdit;

namespace korvane::wordcrypt {

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
    bool holdsApplication() const { return m_engine.holdsApplication(); }

    /// Takes the password boxes' texts and the list for the next run. The run's hooks read only
    /// this snapshot, never the widgets, so they may run on a worker thread; whoever starts such
    /// a run calls this on the user-interface thread first (a run on that thread takes it itself).
    void captureRunSettings();
    /// The stop token of the runs from now on (null: none), handed on to the word processor.
    void setRunControl(platform::RunControl* control);
    /// On the user-interface thread once a run has ended and its end line is written: names
    /// the documents that were not processed in a box, their reasons in its details.
    void reportFailures();

protected:
    QString runAction() const override;
    bool beforeListCheck() override;
    bool prepareRun() override;
    QStringList comp(const batchlist::BatchEntry& entry) override;
    void completeRun(const std::vector<batchlist::BatchEntry>& entries) override;
    void runControlChanged(platform::RunControl* control) override;
    void Form_Unload() override;

private:
    platform::WordAutomation& m_word;
    DocumentEncryptor m_engine;
    DocumentRunSettings m_settings;
    std::vector<DocumentOutcome> m_outcomes;      ///< the run's, written by its worker
    platform::RunControl* m_runControl = nullptr; ///< the run in progress, if any
    platform::RunControl m_ownControl;            ///< for a run that was given none

    QLabel* m_label5 = nullptr;   ///< (要批量解密只需保持密码框为空)
    QLabel* m_label6 = nullptr;   ///< 加密使用的密码:
    QLabel* m_label7 = nullptr;   ///< 读密码:
    QLabel* m_label8 = nullptr;   ///< 写密码:
    QLineEdit* m_text2 = nullptr; ///< the open password (读密码)
    QLineEdit* m_text4 = nullptr; ///< the modify password (写密码)
};

} // namespace korvane::wordcrypt
