#pragma once

#include <QWidget>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace korvane::platform {
class BackgroundRun;
struct Services;
} // namespace korvane::platform

namespace korvane::helpdecompiler {

/// "chm批量反编译": decompiles every help file of a folder tree into folders named after them.
class Frmdecp : public QWidget {
    Q_OBJECT
public:
    explicit Frmdecp(platform::Services& services, QWidget* parent = nullptr);
    ~Frmdecp() override;

    void Command3_Click();

private:
    void Form_Load();
    void Command1_Click();
    void Command2_Click();
    void Command4_Click();
    void Command5_Click();
    void Command6_Click();
    void Check2_Click();

    platform::Services& m_services;
    platform::BackgroundRun* m_run;
    QLineEdit* m_text1;
    QLineEdit* m_text2;
    QCheckBox* m_check1;
    QCheckBox* m_check2;
    QCheckBox* m_check3;
    QPushButton* m_command1;
    QPushButton* m_command2;
    QPushButton* m_command3;
    bool m_running = false;
};

} // namespace korvane::helpdecompiler
