#pragma once

#include "filemanager/batchrun.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace korvane::platform {
class BackgroundRun;
struct Services;
class ClickableLabel;
} // namespace korvane::platform

namespace korvane::filemanager {

/// "文件批量管理": moves, copies or deletes the files of a folder tree chosen by type.
class frmmove : public QWidget {
    Q_OBJECT
public:
    explicit frmmove(platform::Services& services, QWidget* parent = nullptr);
    ~frmmove() override;

    /// The operation code: 1 move, 2 copy, 3 delete, 4 force delete.
    qint16 operationCode() const { return m_operation; }
    /// What the last run did (empty before the first run).
    const RunReport& lastReport() const { return m_lastReport; }

    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void Command6_Click();
    void Option1_Click(int Index);
    void Label3_Click();

private:
    void Form_Load();

    platform::Services& m_services;
    platform::BackgroundRun* m_run;
    qint16 m_operation = 1;
    bool m_running = false;
    RunReport m_lastReport;

    QLabel* m_label2 = nullptr;
    QLineEdit* m_text1 = nullptr;
    QLineEdit* m_text2 = nullptr;
    QLineEdit* m_text3 = nullptr;
    QComboBox* m_combo1 = nullptr;
    QCheckBox* m_check1 = nullptr;
    QCheckBox* m_check2 = nullptr;
    QCheckBox* m_check3 = nullptr;
    QRadioButton* m_option1[4] = {};
};

} // namespace korvane::filemanager
