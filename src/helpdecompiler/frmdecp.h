#pragma once

#include "platform/filesystem.h"

#include <QWidget>
#include <optional>

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

    /// 反编译: decompiles every help file under the source folder (the target folder when the
    /// source box is empty) into folders under the target folder.
    void Command3_Click();

private:
    struct RunFolders {
        platform::NativePath source; ///< the folder walked
        platform::NativePath target; ///< where the output folders go
        QString helper;              ///< the extraction helper's path
    };
    /// The design's first steps of a run (the target box trimmed and ended by "/") and the
    /// checks before anything starts; nullopt, with the message shown, when a run cannot start.
    std::optional<RunFolders> runFolders();

    void Form_Load();
    /// 选择一个目录 (至): puts the chosen folder into Text1.
    void Command1_Click();
    /// 选择当前目录 (至): puts the program's folder into Text1.
    void Command2_Click();
    /// 选择一个目录 (源): puts the chosen folder into Text2.
    void Command4_Click();
    /// 选择当前目录 (源): puts the program's folder into Text2.
    void Command5_Click();
    /// 关闭: closes the window.
    void Command6_Click();
    /// 存放到源目录: the target becomes the source folder, and its buttons are disabled.
    void Check2_Click();

    platform::Services& m_services;
    platform::BackgroundRun* m_run;
    QLineEdit* m_text1;      ///< the target folder (至): where the output folders go
    QLineEdit* m_text2;      ///< the source folder (源): the folder walked, when filled
    QCheckBox* m_check1;     ///< 包含子文件夹
    QCheckBox* m_check2;     ///< 存放到源目录
    QCheckBox* m_check3;     ///< 生成hhp文件: also write the project file
    QPushButton* m_command1; ///< 选择一个目录 for the target
    QPushButton* m_command2; ///< 选择当前目录 for the target
    QPushButton* m_command3; ///< 反编译
};

} // namespace korvane::helpdecompiler
