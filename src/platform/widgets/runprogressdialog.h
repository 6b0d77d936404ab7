#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace korvane::platform {

class RunControl;

/// The progress dialog of one run: what is done, the item in hand and "取消". It reads the
/// run's RunControl when refreshed, on the user-interface thread.
class RunProgressDialog final : public QDialog {
public:
    RunProgressDialog(QWidget* window, RunControl& control);

    /// Shows the control's counts after `action`, the dialog's verb phrase ("正在复制文件…").
    void refresh(const QString& action);

    /// "取消", Escape and the close box all stop the run; the dialog goes when the run ends.
    void reject() override;

private:
    RunControl& m_control;
    QLabel* m_line;
    QLabel* m_current;
    QProgressBar* m_bar;
    QPushButton* m_cancel;
};

} // namespace korvane::platform
