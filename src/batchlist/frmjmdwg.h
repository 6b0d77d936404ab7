#pragma once

#include "batchlist/batchlistwindow.h"
#include "platform/drawingapp.h"

#include <memory>

namespace korvane::batchlist {

/// "DWG文件批量加密": saves every listed drawing again through the drawing application, protected
/// by the password in Text2 (none when it is empty), then deletes the backups it left.
class frmjmdwg : public BatchListWindow, private platform::DrawingAppEvents {
    Q_OBJECT
public:
    frmjmdwg(platform::Services& services, platform::DrawingAutomation& automation, QWidget* parent = nullptr);
    ~frmjmdwg() override;

    /// Obtains the application into ACADApp: a running one, else a new one, else says why not.
    void init();

    /// A drawing has opened: saves it again with the run's password.
    void ACADApp_EndOpen(const QString& fileName);
    /// A drawing was saved: closes every drawing but the active one, saving it.
    void ACADApp_EndSave(const QString& fileName);
    /// The application quits: closes every drawing, saving it.
    void ACADApp_BeginQuit(bool& cancel);

    bool holdsApplication() const { return bool(ACADApp); }

protected:
    QString runAction() const override;
    bool prepareRun() override;
    QStringList comp(const BatchEntry& entry) override;
    void completeRun(const std::vector<BatchEntry>& entries) override;
    void runControlChanged(platform::RunControl* control) override;
    void Form_Unload() override;

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
    QLineEdit* m_text2 = nullptr; ///< the password (empty: remove it)
    QLabel* m_label5 = nullptr;   ///< (要批量解密只需保持密码框为空)
    QLabel* m_label6 = nullptr;   ///< 加密使用的密码:

    std::shared_ptr<platform::DrawingApplication> ACADApp;
    std::shared_ptr<platform::DrawingSecurityParams> m_securityParams;
    QStringList m_failures; ///< lines for the information box from the current call
    bool m_saved = false;   ///< the current entry's drawing was saved with the parameters
    std::vector<bool> m_savedEntries;
    /// The run's drawings that were not saved, with their lines: named in a box after the run.
    std::vector<std::pair<QString, QStringList>> m_unsaved;
    void reportUnsaved();
};

} // namespace korvane::batchlist
