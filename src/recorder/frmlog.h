#pragma once

#include <QDialog>
#include <memory>

class QPushButton;
class QTableWidget;

namespace korvane::platform {
struct Services;
class Status;
} // namespace korvane::platform

namespace korvane::recorder {

class FileDatabase;

/// "日志": the log of recording runs, oldest first; deletes the oldest entry or all of them.
class Frmlog : public QDialog {
    Q_OBJECT
public:
    explicit Frmlog(platform::Services& services, QWidget* parent = nullptr);
    ~Frmlog() override;

    /// 删除: deletes the oldest log entry.
    void Command1_Click();
    /// 清空: deletes every log entry.
    void Command2_Click();

private:
    void Form_Load();
    void fillGrid();
    /// Says that a command met `failure`.
    void reportFailure(const platform::Status& failure);
    /// True when the log has rows; else says why not ("没有记录!" or the database failure).
    bool logHasRows();

    platform::Services& m_services;
    std::unique_ptr<FileDatabase> m_db; ///< Data2
    QTableWidget* m_msf1 = nullptr;     ///< the log grid: folder and time of each recording run
};

} // namespace korvane::recorder
