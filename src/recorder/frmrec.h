#pragma once

#include <QDialog>
#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace korvane::platform {
struct Services;
class BackgroundRun;
class ClickableLabel;
class Status;
} // namespace korvane::platform

namespace korvane::recorder {

class FileDatabase;
class TypeDescriber;

/// "文件信息批量记录工具": records the files of a folder into db1.mdb, empties the file
/// table, finds recorded files by size and opens the log window.
class frmrec : public QDialog {
    Q_OBJECT
public:
    explicit frmrec(platform::Services& services, QWidget* parent = nullptr);
    ~frmrec() override;

    /// How the log window is shown modally; tests act on it instead of entering its loop.
    void setModalRunner(std::function<void(QDialog&)> run) { m_runModal = std::move(run); }

    /// 选择一个目录: records the files of a chosen folder.
    void Command1_Click();
    /// 当前目录: records the files of the program's folder.
    void Command2_Click();
    /// 清空记录: empties the table of recorded files.
    void Command3_Click();
    /// 日 志: shows the log window.
    void Command4_Click();
    /// 记录: records the files of the folder typed into Text4.
    void Command5_Click();
    /// 查询: lists into Text2 the recorded files whose size is Text1 (± 差值 Text3) in Combo1's unit.
    void Label1_Click();
    /// Selects the size, so that typing replaces it.
    void Text1_GotFocus();
    /// A file dropped onto the size box: its exact size in bytes, tolerance 0, so that 查询
    /// finds exactly the files of that size. Several files are refused.
    void Text1_Drop(const QList<QByteArray>& paths);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fitUnitBox();
    void Form_Load();
    void record(const QString& folder, const QString& doneMessage);
    void reportDatabaseFailure(const platform::Status& failure);
    QString databasePath() const;

    platform::Services& m_services;
    platform::BackgroundRun* m_run = nullptr;
    std::unique_ptr<FileDatabase> m_db; ///< Data1 and Data2: one connection for both tables
    std::unique_ptr<TypeDescriber> m_types;
    std::function<void(QDialog&)> m_runModal;
    bool m_selectOnRelease = false;

    QPushButton* m_command1 = nullptr;            ///< 选择一个目录
    QPushButton* m_command2 = nullptr;            ///< 当前目录
    QPushButton* m_command3 = nullptr;            ///< 清空记录
    QPushButton* m_command4 = nullptr;            ///< 日 志
    QPushButton* m_command5 = nullptr;            ///< 记录
    QLineEdit* m_text1 = nullptr;                 ///< the size to look up
    QLineEdit* m_text3 = nullptr;                 ///< 差值: how far a size may lie from Text1
    QLineEdit* m_text4 = nullptr;                 ///< the folder that 记录 records
    QPlainTextEdit* m_text2 = nullptr;            ///< the files 查询 found
    QComboBox* m_combo1 = nullptr;                ///< the unit of Text1 and Text3: MB, KB, Byte
    platform::ClickableLabel* m_label1 = nullptr; ///< 查询
};

} // namespace korvane::recorder
