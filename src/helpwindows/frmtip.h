#pragma once

#include "helpwindows/tips.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;

namespace korvane::platform {
struct Services;
}

namespace korvane::helpwindows {

/// "日积月累": one tip at a time from readme.txt in the program's folder.
class frmTip : public QDialog {
    Q_OBJECT
public:
    /// Runs the load handler; see closedWhileLoading().
    frmTip(platform::Services& services, const bool& tipRequested, QWidget* parent = nullptr);

    /// True when the load handler closed the window at once (tips not wanted at start-up).
    bool closedWhileLoading() const { return m_closedWhileLoading; }

    /// Reads the tips file and shows its first tip; false when nothing was read.
    bool LoadTips(const QString& path);
    void DisplayCurrentTip();

private:
    void Form_Load();
    /// 下一条提示: shows the next tip.
    void AdvanceTip();
    /// 在启动时显示提示: stores whether the window opens at start-up.
    void chkLoadTipsAtStartup_Click();
    QString tipsFilePath() const;
    bool mayWriteTips(const QString& path);

    platform::Services& m_services;
    const bool& m_tipRequested;
    bool m_closedWhileLoading = false;
    TipCursor m_tips;

    QLabel* m_lblTipText = nullptr;              ///< the current tip
    QCheckBox* m_chkLoadTipsAtStartup = nullptr; ///< 在启动时显示提示
    QPushButton* m_cmdOK = nullptr;              ///< 确定: closes the window
    QPushButton* m_cmdNextTip = nullptr;         ///< 下一条提示
};

} // namespace korvane::helpwindows
