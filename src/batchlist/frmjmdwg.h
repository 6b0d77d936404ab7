#pragma once

#include "batchlist/batchlistwindow.h"
#include "platform/drawingapp.h"

#include <memory>

namespace korvane::batchlist {

/// The drawing encryptor's part of a batch list run, and the application it holds: not a
/// widget, so its calls on the run's worker reach no control.
class DrawingEncryptRun final : public BatchRunHooks, private platform::DrawingAppEvents {
public:
    /// `messages` must be safe from the worker; `owner` is the boxes' parent.
    DrawingEncryptRun(platform::DrawingAutomation& automation, platform::FileSystem& fs,
                      platform::MessageBoxes& messages, QWidget* owner);
    ~DrawingEncryptRun() override;

    QString password; ///< Text2, taken before the run (empty: remove it)

    /// Obtains the application into ACADApp: a running one, else a new one, else says why not,
    /// with the protection of the `listed` drawings in the box's details.
    void init(const std::vector<BatchEntry>& listed);
    /// Lets a held application quit, ignoring errors.
    void quit();
    bool holdsApplication() const { return bool(ACADApp); }

    /// A drawing has opened: saves it again with the run's password.
    void ACADApp_EndOpen(const QString& fileName);
    /// A drawing was saved: closes every drawing but the active one, saving it.
    void ACADApp_EndSave(const QString& fileName);
    /// The application quits: closes every drawing, saving it.
    void ACADApp_BeginQuit(bool& cancel);

    bool prepareRun(BatchRunContext& run, const std::vector<BatchEntry>& entries) override;
    QStringList comp(BatchRunContext& run, const BatchEntry& entry) override;
    void completeRun(BatchRunContext& run, const std::vector<BatchEntry>& entries) override;

private:
    void EndOpen(const QString& fileName) override { ACADApp_EndOpen(fileName); }
    void EndSave(const QString& fileName) override { ACADApp_EndSave(fileName); }
    void BeginQuit(bool& cancel) override { ACADApp_BeginQuit(cancel); }
    void setApplication(std::shared_ptr<platform::DrawingApplication> app);
    /// Ends the run early: says why (no icon, as init does), lets the application go.
    bool abandon(const platform::Status& status);
    /// Closes each drawing for which `keep` is false, saving it; failures become lines.
    void closeDrawings(bool keepActive);

    platform::DrawingAutomation& m_automation;
    platform::FileSystem& m_fs;
    platform::MessageBoxes& m_messages;
    QWidget* m_owner;

    std::shared_ptr<platform::DrawingApplication> ACADApp;
    std::shared_ptr<platform::DrawingSecurityParams> m_securityParams;
    QStringList m_failures; ///< lines for the information box from the current call
    bool m_saved = false;   ///< the current entry's drawing was saved with the parameters
    std::vector<bool> m_savedEntries;

public:
    /// The last run's drawings that were not saved, with their lines: named in a box after it.
    std::vector<std::pair<QString, QStringList>> unsaved;
};

/// "DWG文件批量加密": saves every listed drawing again through the drawing application, protected
/// by the password in Text2 (none when it is empty), then deletes the backups it left.
class frmjmdwg : public BatchListWindow {
    Q_OBJECT
public:
    frmjmdwg(platform::Services& services, platform::DrawingAutomation& automation, QWidget* parent = nullptr);
    ~frmjmdwg() override;

    /// Obtains the application: a running one, else a new one, else says why not.
    void init();
    bool holdsApplication() const { return m_encrypt.holdsApplication(); }

protected:
    QString runAction() const override;
    BatchRunHooks& runHooks() override;
    void runControlChanged(platform::RunControl* control) override;
    void Form_Unload() override;

private:
    /// On the user-interface thread once a run has ended and its end line is written.
    void reportUnsaved();

    QLineEdit* m_text2 = nullptr; ///< the password (empty: remove it)
    QLabel* m_label5 = nullptr;   ///< (要批量解密只需保持密码框为空)
    QLabel* m_label6 = nullptr;   ///< 加密使用的密码:
    DrawingEncryptRun m_encrypt;
};

} // namespace korvane::batchlist
