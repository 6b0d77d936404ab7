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

    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void Label1_Click();
    void Text1_GotFocus();

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

    QPushButton* m_command1 = nullptr;
    QPushButton* m_command2 = nullptr;
    QPushButton* m_command3 = nullptr;
    QPushButton* m_command4 = nullptr;
    QPushButton* m_command5 = nullptr;
    QLineEdit* m_text1 = nullptr;
    QLineEdit* m_text3 = nullptr;
    QLineEdit* m_text4 = nullptr;
    QPlainTextEdit* m_text2 = nullptr;
    QComboBox* m_combo1 = nullptr;
    platform::ClickableLabel* m_label1 = nullptr;
};

} // namespace korvane::recorder
