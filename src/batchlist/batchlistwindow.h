#pragma once

#include "batchlist/batchlist.h"
#include "batchlist/batchrun.h"
#include "platform/services.h"

#include <memory>

#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QFrame;

namespace korvane::platform {
class BackgroundRun;
class RunControl;
class ClickableLabel;
class UiThreadMessages;
} // namespace korvane::platform

namespace korvane::batchlist {

/// Everything in which the batch list windows differ, apart from their own controls and hooks.
/// Sizes and positions are in twips.
struct BatchListConfig {
    QString objectName;      ///< "frmCompile", "frmjmword", "frmjmdwg"
    QString caption;         ///< window title
    int clientHeight = 8025; ///< the width is 6600 for every window
    QString extensions;      ///< ";"-separated list for the folder walk, e.g. "vbp"
    QString fileFilter;      ///< file chooser filter of Image1, e.g. "工程文件|*.vbp|所有文件|*.*"
    QString label2;          ///< hint above the path box
    QString command1;        ///< "添加到…列表"
    QString command3;        ///< "从…列表删除"
    QString command2;        ///< run button
    QString label1;          ///< hint on the outside program
    int label1Width = 5175;
    int line1Top = 4800; ///< Line1; Label3 and Text3 follow 120 and 480 twips below
    QString welcome;     ///< welcome sentence; two line ends are added
    QString countSuffix; ///< "个文档等待加密"
    QString duplicateMessage;
    QString emptyListMessage;
    QString logPrefix; ///< "编译工程 ", "加密文档 "
    int topOffset = 0; ///< top edge = the main window's top edge + this
    LogOrder logOrder = LogOrder::CompThenLog;
    /// Encryptors: after a run blank the count label and append "列表中的所有文档加密完成!".
    bool announceCompletion = false;
};

/// The texts and layout both document encryptors share; each sets its own names, captions,
/// file types, welcome, duplicate message, hint on the outside program and log order.
BatchListConfig encryptorConfig();

/// The shared batch list window: path box, list, add/remove/clear, folder walk, count label,
/// information box and the frame of the run.
///
/// Extension point. A tool window derives from this class and
///  1. passes its BatchListConfig to the constructor,
///  2. creates its own controls as children (with platform::makeNamed or the make… helpers below),
///  3. ends its constructor with finishLoad(ownControlsInTabOrder), which completes the tab
///     order and runs Form_Load (welcome text, placement),
///  4. implements runHooks(): it takes what the run needs from its controls into an object
///     that is not a widget (a BatchRunHooks) and returns it.
/// The run (Command2_Click) takes the list and the hooks on the user-interface thread, runs
/// runBatch() on a worker thread (platform::BackgroundRun) and, once that has returned, writes
/// its end on the user-interface thread: it empties the list and, when configured, announces
/// completion; a cancelled run leaves the entries not processed in the list instead.
/// closeEvent calls Form_Unload(). A window never rebuilds Text3 or List1 wholesale: use
/// appendInfo() for lines.
class BatchListWindow : public QWidget {
    Q_OBJECT
public:
    ~BatchListWindow() override;

    const BatchListConfig& config() const { return m_config; }
    const BatchList& batchList() const { return m_list; }

    /// Appends a line and a line end to the information box and shows its end. Cost does not
    /// grow with the text already there. A run's lines come through its InfoSink instead.
    void appendInfo(const QString& line);
    /// Writes the welcome sentence and two line ends, replacing the box's content.
    void resetInfo();
    /// Sets Label4 to "列表中有" + count + suffix.
    void refreshCount();
    /// Adds an entry to List1 (and the list behind it); the result says whether it went in.
    BatchList::AddResult addEntry(const BatchEntry& entry);

    // Handlers, public so that tests and the window's own code can drive them.
    void Form_Load();
    /// 浏览: puts the chosen file into Text1.
    void Image1_Click();
    /// 添加到…列表: adds the file in Text1 to the list.
    void Command1_Click();
    /// The run button (开始, 开始编译): processes every listed entry.
    void Command2_Click();
    /// 从…列表删除: removes the selected entry.
    void Command3_Click();
    /// 添加目录到列表: adds the files of the configured types under a chosen folder.
    void Command4_Click();
    /// 关闭: closes the window.
    void Command5_Click();
    /// 清空信息框: empties the information box down to the welcome sentence.
    void Command6_Click();
    /// 清空列表: empties the list.
    void Command7_Click();

    /// Files and folders dropped onto the list, added as 添加到…列表 and 添加目录到列表 would.
    void addDropped(const QList<platform::NativePath>& paths);

    /// Shown once when a folder walk or a typed path meets the list's limit.
    static QString limitMessage();

protected:
    BatchListWindow(platform::Services& services, BatchListConfig config, QWidget* parent);

    /// Completes the tab order with the window's own controls and runs Form_Load.
    void finishLoad(const QList<QWidget*>& ownControlsInTabOrder);

    /// What the progress dialog says the run is doing ("正在编译工程…").
    virtual QString runAction() const;
    /// On the user-interface thread as the run button starts a run: takes from the controls
    /// what the run needs into the window's hooks and returns them. They are called on the
    /// run's worker until the run has ended, and never reach a widget.
    virtual BatchRunHooks& runHooks() = 0;
    /// On the user-interface thread as a run begins on its worker, with the run's control, and
    /// with null once it has ended: hand the control on to an engine.
    virtual void runControlChanged(platform::RunControl* control) { Q_UNUSED(control); }
    /// The window is closing; errors must be swallowed, the close is never cancelled.
    virtual void Form_Unload() {}

    void closeEvent(QCloseEvent* event) override;

    QLabel* makeLabel(const char* name, const QString& caption, int l, int t, int w, int h,
                      const QColor& colour = QColor());
    /// A password box: shows "*" for every character and takes no input method, so what is
    /// typed is exactly what the password becomes.
    QLineEdit* makePasswordBox(const char* name, const QString& text, int l, int t, int w, int h);
    /// A picture button with the "浏览" tool tip.
    platform::ClickableLabel* makeBrowseImage(const char* name, int l, int t, int w, int h);

private:
    class InfoBox;
    /// Writes how the run ended, on the user-interface thread.
    void endRun(const BatchRunResult& result);
    /// After a stopped run: the entries not reached stay listed for another run.
    void keepEntriesNotReached(size_t done);

    std::unique_ptr<platform::UiThreadMessages> m_uiMessages;
    platform::Services m_ownServices; ///< the window's services, with message boxes safe from the run's worker

protected:
    /// The window's services; its message boxes are safe on a run's worker, for the hooks.
    platform::Services& m_services;
    platform::BackgroundRun* m_run;

    QLabel* m_label1 = nullptr;                   ///< the hint on the outside program
    QLabel* m_label2 = nullptr;                   ///< the hint above the path box
    QLabel* m_label3 = nullptr;                   ///< 信息提示:
    QLabel* m_label4 = nullptr;                   ///< 列表中有 … (the count)
    QLineEdit* m_text1 = nullptr;                 ///< the path to add
    platform::ClickableLabel* m_image1 = nullptr; ///< 浏览
    QListWidget* m_list1 = nullptr;               ///< the entries a run processes
    QPushButton* m_command1 = nullptr;            ///< 添加到…列表
    QPushButton* m_command2 = nullptr;            ///< the run button
    QPushButton* m_command3 = nullptr;            ///< 从…列表删除
    QPushButton* m_command4 = nullptr;            ///< 添加目录到列表
    QPushButton* m_command5 = nullptr;            ///< 关闭
    QPushButton* m_command6 = nullptr;            ///< 清空信息框
    QPushButton* m_command7 = nullptr;            ///< 清空列表
    QFrame* m_line1 = nullptr;                    ///< the rule above the information box
    QPlainTextEdit* m_text3 = nullptr;            ///< the information box

private:
    void appendItems(int from);
    /// Walks the folders for the window's file types in one background run; false when it
    /// could not start.
    bool walkFolders(std::vector<platform::NativePath> folders);
    void clearList();

    BatchListConfig m_config;
    QStringList m_extensions;
    BatchList m_list;
    std::unique_ptr<InfoBox> m_info; ///< Text3 as the runs' InfoSink
};

} // namespace korvane::batchlist
