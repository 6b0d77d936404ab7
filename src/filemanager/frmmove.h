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

    /// 选择一个目录 (源): puts the chosen folder into Text1.
    void Command1_Click();
    /// 选择当前目录 (源): puts the program's folder into Text1.
    void Command2_Click();
    /// 开始: moves, copies or deletes the chosen files of the source folder; at its end names
    /// the files it left undone, if any.
    void Command3_Click();
    /// 选择一个目录 (至): puts the chosen folder into Text2.
    void Command4_Click();
    /// 选择当前目录 (至): puts the program's folder into Text2.
    void Command5_Click();
    /// 关闭: closes the window.
    void Command6_Click();
    /// 移动, 复制, 删除, 强制删除: sets the operation; the target row shows only to move or copy.
    void Option1_Click(int Index);
    /// 添加更多过滤: asks for more file types and adds them to Combo1.
    void Label3_Click();

private:
    void Form_Load();

    platform::Services& m_services;
    platform::BackgroundRun* m_run;
    qint16 m_operation = 1;
    RunReport m_lastReport;

    QLabel* m_label2 = nullptr;      ///< "至", hidden with the target row
    QLineEdit* m_text1 = nullptr;    ///< the source folder
    QLineEdit* m_text2 = nullptr;    ///< the target folder
    QLineEdit* m_text3 = nullptr;    ///< the file types of 一次操作多种类型的文件, ";"-separated
    QComboBox* m_combo1 = nullptr;   ///< the one file type ("*.exe")
    QCheckBox* m_check1 = nullptr;   ///< 包含子文件夹
    QCheckBox* m_check2 = nullptr;   ///< 覆盖: replace files in the target
    QCheckBox* m_check3 = nullptr;   ///< 一次操作多种类型的文件: Text3's types instead of Combo1's
    QRadioButton* m_option1[4] = {}; ///< 移动, 复制, 删除, 强制删除
};

} // namespace korvane::filemanager
