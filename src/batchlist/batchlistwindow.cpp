#include "batchlist/batchlistwindow.h"

#include "platform/interaction.h"
#include "platform/nativepath.h"
#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/clickablelabel.h"
#include "platform/widgets/cutofftips.h"
#include "platform/widgets/dropfilter.h"
#include "platform/widgets/placement.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMutex>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <algorithm>
#include <optional>

namespace korvane::batchlist {

using platform::makeNamed;
using platform::MessageIcon;
using platform::twips;

namespace {

constexpr int kClientWidth = 6600;

/// The batch list windows' button: its face is RGB 192, 192, 255, and its caption wraps onto a
/// second line when it is wider than the face, as the narrow buttons beside the list need
/// ("添加到加密列表" in 65 pixels).
class WrappingButton final : public QPushButton {
public:
    explicit WrappingButton(QWidget* parent) : QPushButton(parent)
    {
        QPalette pal = palette();
        pal.setColor(QPalette::Button, QColor(192, 192, 255));
        setPalette(pal);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString caption = option.text;
        option.text.clear();
        painter.drawControl(QStyle::CE_PushButton, option);
        const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this).adjusted(1, 0, -1, 0);
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
        painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, caption);
    }
};

void setTextColour(QWidget* widget, const QColor& colour)
{
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, colour);
    widget->setPalette(pal);
}

} // namespace

/// Text3 as the runs' information lines go into it. Laying out one block costs about 60 µs, so
/// lines from the worker are queued to the user-interface thread, all those written until it
/// gets to them in one insertion: a fast run costs few layouts, a slow one shows each line as
/// it comes. Queued writes come at most every kGatherMs, so that a run whose entries are quick
/// does not wake the user-interface thread for each. The text document's own cost is per block
/// (about 2 µs each, a third of a 30,000-project run): the lines of an insertion go in as soft
/// line breaks, kLinesPerBlock to a block. They look and copy as lines (toPlainText() and the
/// clipboard turn the separators into "\n").
class BatchListWindow::InfoBox final : public InfoSink {
public:
    InfoBox(BatchListWindow& window, QPlainTextEdit& box) : m_window(window), m_box(box) {}

    void append(const QString& line) override
    {
        {
            QMutexLocker lock(&m_mutex);
            m_pending += line;
            m_pending += QLatin1Char('\n');
            if (!platform::onUserInterfaceThread()) {
                if (m_writeQueued)
                    return;
                m_writeQueued = true;
            }
        }
        if (platform::onUserInterfaceThread())
            write();
        else
            QMetaObject::invokeMethod(
                &m_window, [this] { writeSoon(); }, Qt::QueuedConnection);
    }

    void flush() override
    {
        if (platform::onUserInterfaceThread())
            write();
        else
            m_window.m_run->onUiThread([this] { write(); });
    }

    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_pending.clear();
    }

private:
    void writeSoon()
    {
        const qint64 since = m_lastWrite.isValid() ? m_lastWrite.elapsed() : kGatherMs;
        if (since >= kGatherMs)
            write();
        else
            QTimer::singleShot(int(kGatherMs - since), &m_window, [this] { write(); });
    }

    void write()
    {
        m_lastWrite.start();
        QString text;
        {
            QMutexLocker lock(&m_mutex);
            text.swap(m_pending);
            m_writeQueued = false;
        }
        if (text.isEmpty())
            return;
        // The last line end stays: the next insertion starts a block of its own.
        qsizetype lines = 0;
        for (QChar *c = text.data(), *end = c + text.size() - 1; c < end; ++c) {
            if (*c == QLatin1Char('\n') && ++lines % kLinesPerBlock != 0)
                *c = QChar::LineSeparator;
        }
        QTextCursor cursor(m_box.document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(text);
        m_box.setTextCursor(cursor);
    }

    static constexpr qint64 kGatherMs = 20;
    static constexpr int kLinesPerBlock = 16;
    BatchListWindow& m_window;
    QPlainTextEdit& m_box;
    QElapsedTimer m_lastWrite;  ///< user-interface thread only
    QMutex m_mutex;             ///< guards the two below: lines come from the run's worker
    QString m_pending;          ///< lines appended, not yet in the box
    bool m_writeQueued = false; ///< a write is queued to the user-interface thread
};

BatchListWindow::BatchListWindow(platform::Services& services, BatchListConfig config, QWidget* parent)
    : QWidget(parent, Qt::Window), m_uiMessages(std::make_unique<platform::UiThreadMessages>(services.messages)),
      m_ownServices(services.withMessages(*m_uiMessages)), m_services(m_ownServices),
      m_run(new platform::BackgroundRun(this, services.messages)), m_config(std::move(config))
{
    setObjectName(m_config.objectName);
    setWindowTitle(m_config.caption);
    setFixedSize(twips(kClientWidth), twips(m_config.clientHeight));

    m_label2 = makeLabel("Label2", m_config.label2, 240, 240, 5295, 255, QColor(192, 0, 192));
    m_text1 = makeNamed<QLineEdit>(this, "Text1", {240, 720, 4215, 375});
    m_image1 = makeBrowseImage("Image1", 4560, 600, 480, 480);

    m_list1 = makeNamed<QListWidget>(this, "List1", {240, 1200, 4215, 1680});
    m_list1->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list1->setSortingEnabled(false);
    m_list1->setUniformItemSizes(true); // keeps adding thousands of entries cheap
    platform::tipCutOffEntries(*m_list1);
    platform::takePathDrops(m_text1);
    platform::takeDrops(
        m_list1, [](const auto&) { return true; }, [this](const auto& paths) { addDropped(paths); });

    m_command1 = makeNamed<WrappingButton>(this, "Command1", m_config.command1, {4680, 1200, 975, 495});
    m_command3 = makeNamed<WrappingButton>(this, "Command3", m_config.command3, {4680, 1800, 975, 495});
    m_command4 = makeNamed<WrappingButton>(this, "Command4", QStringLiteral("添加目录到列表"), {4680, 2400, 975, 495});

    m_label4 = new QLabel(this);
    m_label4->setObjectName(QStringLiteral("Label4"));
    setTextColour(m_label4, QColor(0, 0, 192));
    m_label4->move(twips(240), twips(3000));
    m_label4->adjustSize();

    m_command2 = makeNamed<WrappingButton>(this, "Command2", m_config.command2, {240, 3240, 1215, 495});
    m_command6 = makeNamed<WrappingButton>(this, "Command6", QStringLiteral("清空信息框"), {1720, 3240, 1215, 495});
    m_command7 = makeNamed<WrappingButton>(this, "Command7", QStringLiteral("清空列表"), {3200, 3240, 1215, 495});
    m_command5 = makeNamed<WrappingButton>(this, "Command5", QStringLiteral("关闭"), {4680, 3240, 1215, 495});

    m_label1 = makeLabel("Label1", m_config.label1, 120, 3960, m_config.label1Width, 255, QColor(192, 0, 192));

    m_line1 = new QFrame(this);
    m_line1->setObjectName(QStringLiteral("Line1"));
    m_line1->setFrameShape(QFrame::HLine);
    m_line1->setFrameShadow(QFrame::Sunken);
    m_line1->setGeometry(twips(120), twips(m_config.line1Top) - 1, twips(6360 - 120), 2);

    m_label3 =
        makeLabel("Label3", QStringLiteral("信息提示:"), 120, m_config.line1Top + 120, 1215, 255, QColor(128, 0, 0));
    m_text3 = makeNamed<QPlainTextEdit>(this, "Text3", {120, m_config.line1Top + 480, 6255, 2655});
    m_text3->setReadOnly(true);
    // Read-only, yet the caret is kept at the end so the box shows its last line.
    m_text3->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text3->setUndoRedoEnabled(false); // an undo record per appended line would only cost memory
    m_text3->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_info = std::make_unique<InfoBox>(*this, *m_text3);

    connect(m_image1, &platform::ClickableLabel::clicked, this, &BatchListWindow::Image1_Click);
    connect(m_command1, &QPushButton::clicked, this, &BatchListWindow::Command1_Click);
    connect(m_command2, &QPushButton::clicked, this, &BatchListWindow::Command2_Click);
    connect(m_command3, &QPushButton::clicked, this, &BatchListWindow::Command3_Click);
    connect(m_command4, &QPushButton::clicked, this, &BatchListWindow::Command4_Click);
    connect(m_command5, &QPushButton::clicked, this, &BatchListWindow::Command5_Click);
    connect(m_command6, &QPushButton::clicked, this, &BatchListWindow::Command6_Click);
    connect(m_command7, &QPushButton::clicked, this, &BatchListWindow::Command7_Click);
}

BatchListWindow::~BatchListWindow()
{
    m_run->stopAndWait(); // the job uses members that go before the run object
}

BatchListConfig encryptorConfig()
{
    BatchListConfig c;
    c.label2 = QStringLiteral("提示:请输入想添加到加密列表的文件路径也可通过浏览找到文件");
    c.command1 = QStringLiteral("添加到加密列表");
    c.command3 = QStringLiteral("从加密列表删除");
    c.command2 = QStringLiteral("开始");
    c.label1Width = 5175;
    c.countSuffix = QStringLiteral("个文档等待加密");
    c.emptyListMessage = QStringLiteral("列表为空,请先添加文档到列表!");
    c.logPrefix = QStringLiteral("加密文档 ");
    c.topOffset = 800;
    c.announceCompletion = true;
    return c;
}

QString BatchListWindow::limitMessage()
{
    return QStringLiteral("列表已达到%1项的上限,其余文件未能添加!").arg(BatchList::kMaxEntries);
}

QLabel* BatchListWindow::makeLabel(const char* name, const QString& caption, int l, int t, int w, int h,
                                   const QColor& colour)
{
    auto* label = makeNamed<QLabel>(this, name, caption, {l, t, w, h});
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    if (colour.isValid())
        setTextColour(label, colour);
    // Our fonts run wider than the ones the layout was drawn for: let a hint grow towards the
    // window's edge rather than lose its last characters.
    const int room = twips(kClientWidth) - label->x();
    if (label->sizeHint().width() > label->width() && label->width() < room)
        label->resize(std::min(label->sizeHint().width(), room), label->height());
    return label;
}

QLineEdit* BatchListWindow::makePasswordBox(const char* name, const QString& text, int l, int t, int w, int h)
{
    auto* box = makeNamed<QLineEdit>(this, name, text, {l, t, w, h});
    box->setEchoMode(QLineEdit::Password);
    box->setStyleSheet(QStringLiteral("lineedit-password-character: 42")); // "*", whatever the style
    box->setAttribute(Qt::WA_InputMethodEnabled, false);
    box->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    return box;
}

platform::ClickableLabel* BatchListWindow::makeBrowseImage(const char* name, int l, int t, int w, int h)
{
    auto* image = makeNamed<platform::ClickableLabel>(this, name, {l, t, w, h});
    image->setToolTip(QStringLiteral("浏览"));
    image->setPixmap(style()->standardIcon(QStyle::SP_DirOpenIcon).pixmap(32, 32));
    image->setAlignment(Qt::AlignCenter);
    image->setCursor(Qt::PointingHandCursor);
    return image;
}

void BatchListWindow::finishLoad(const QList<QWidget*>& ownControlsInTabOrder)
{
    // Labels and pictures take no focus, so only the focusable part of the order is set.
    QList<QWidget*> order{m_command7, m_command6, m_command4, m_command5, m_command3,
                          m_list1,    m_command2, m_command1, m_text1,    m_text3};
    order += ownControlsInTabOrder;
    for (qsizetype i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    Form_Load();
}

void BatchListWindow::Form_Load()
{
    resetInfo();
    m_extensions = parseExtensions(m_config.extensions);
    if (const QWidget* main = m_services.mainWindow) {
        const QPoint topLeft = main->frameGeometry().topLeft();
        move(topLeft.x(), topLeft.y() + twips(m_config.topOffset));
    }
}

void BatchListWindow::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void BatchListWindow::appendInfo(const QString& line)
{
    m_info->append(line);
}

void BatchListWindow::resetInfo()
{
    m_info->clear();
    m_text3->setPlainText(m_config.welcome + QStringLiteral("\n\n"));
    m_text3->moveCursor(QTextCursor::End);
}

void BatchListWindow::refreshCount()
{
    m_label4->setText(QStringLiteral("列表中有") + QString::number(m_list.size()) + m_config.countSuffix);
    m_label4->adjustSize();
}

BatchList::AddResult BatchListWindow::addEntry(const BatchEntry& entry)
{
    const int before = m_list.size();
    const BatchList::AddResult result = m_list.add(entry);
    if (result == BatchList::AddResult::Added)
        appendItems(before);
    return result;
}

void BatchListWindow::appendItems(int from)
{
    m_list1->setUpdatesEnabled(false);
    for (int i = from; i < m_list.size(); ++i) {
        const BatchEntry& entry = m_list.at(i);
        auto* item = new QListWidgetItem(entry.text);
        item->setData(Qt::UserRole, entry.path); // the raw path, for names that are not UTF-8
        m_list1->addItem(item);
    }
    m_list1->setUpdatesEnabled(true);
}

void BatchListWindow::clearList()
{
    m_list1->clear();
    m_list.clear();
}

void BatchListWindow::Image1_Click()
{
    const QString chosen = m_services.files.openFile(this, m_config.fileFilter);
    if (!chosen.isEmpty())
        m_text1->setText(chosen);
}

void BatchListWindow::Command1_Click()
{
    const QString text = m_text1->text();
    if (!trimSpaces(text).isEmpty()) {
        switch (addEntry({text, platform::nativePath(text)})) {
        case BatchList::AddResult::Duplicate:
            m_services.messages.show(this, m_config.duplicateMessage, MessageIcon::Information);
            return;
        case BatchList::AddResult::Full:
            m_services.messages.show(this, limitMessage(), MessageIcon::Information);
            return;
        case BatchList::AddResult::Added: break;
        }
    } else {
        m_services.messages.show(this, QStringLiteral("文件路径为空!无法添加!"), MessageIcon::Information);
    }
    m_text1->clear();
    refreshCount();
}

void BatchListWindow::Command3_Click()
{
    const QList<QListWidgetItem*> selected = m_list1->selectedItems();
    if (!selected.isEmpty()) {
        const int row = m_list1->row(selected.first());
        m_list.removeAt(row);
        delete m_list1->takeItem(row);
        // Qt moves the selection to the neighbour; a second press must not remove it.
        m_list1->setCurrentRow(-1);
        m_list1->clearSelection();
    }
    refreshCount();
}

void BatchListWindow::Command4_Click()
{
    const QString chosen = m_services.folders.chooseFolder(this, QStringLiteral("请选择想添加的文件夹："));
    if (chosen.isEmpty())
        return;
    const platform::NativePath folder = platform::nativePath(chosen);
    const auto counts = countEntries(m_services.fs, folder);
    if (!counts) {
        m_services.messages.show(this, QStringLiteral("无法读取所选文件夹!"), MessageIcon::Information);
    } else if (counts->files < 1 && counts->subFolders < 1) {
        m_services.messages.show(this, QStringLiteral("所选文件夹是空的!"), MessageIcon::Information);
    } else if (walkFolders({folder})) {
        return;
    }
    refreshCount();
}

bool BatchListWindow::walkFolders(std::vector<platform::NativePath> folders)
{
    // The walk fills a copy of the list and hands it back; the window's own list changes only
    // here, on the user-interface thread.
    struct Walked {
        WalkResult walk;
        std::optional<BatchList> list; ///< empty when the walk failed: the list stays as it was
    };
    const int before = m_list.size();
    return m_run->start(
        QStringLiteral("正在查找文件…"),
        [fs = &m_services.fs, folders = std::move(folders), extensions = m_extensions,
         list = m_list](platform::RunControl& control) mutable {
            Walked walked{{}, std::move(list)};
            for (const platform::NativePath& folder : folders) {
                const WalkResult walk = addMatchingFiles(*fs, folder, extensions, *walked.list, &control);
                walked.walk.added += walk.added;
                walked.walk.unreadableFolders += walk.unreadableFolders;
                walked.walk.limitReached = walk.limitReached;
                walked.walk.stopped = walk.stopped;
                if (walk.limitReached || walk.stopped)
                    break;
            }
            return walked;
        },
        [this, before](Walked walked) {
            if (walked.list)
                m_list = std::move(*walked.list);
            appendItems(before);
            if (walked.walk.limitReached)
                m_services.messages.show(this, limitMessage(), MessageIcon::Information);
            refreshCount();
        });
}

void BatchListWindow::Command5_Click()
{
    close();
}

void BatchListWindow::Command6_Click()
{
    resetInfo();
}

void BatchListWindow::Command7_Click()
{
    clearList();
}

void BatchListWindow::Command2_Click()
{
    // A server event must not start a second run inside the first, nor change the snapshot
    // the run's hooks hold.
    if (m_run->isRunning())
        return;

    // The whole run, hooks included, goes on the worker; its message boxes are shown on the
    // user-interface thread through m_services.messages, so their order is unchanged.
    BatchRunHooks& hooks = runHooks();
    BatchRunInput input{m_list.entries(), m_config.logPrefix, m_config.logOrder, m_config.emptyListMessage};
    const bool started = m_run->start(
        runAction(),
        [this, &hooks, input = std::move(input)](platform::RunControl& control) {
            m_run->onUiThread([&] { runControlChanged(&control); });
            BatchRunContext context{m_services.messages, this, *m_info, control};
            return runBatch(hooks, input, context);
        },
        [this](const BatchRunResult& result) { endRun(result); });
    Q_ASSERT(started); // no run was under way
}

QString BatchListWindow::runAction() const
{
    return QStringLiteral("正在") + m_config.logPrefix.trimmed() + QStringLiteral("…");
}

void BatchListWindow::endRun(const BatchRunResult& result)
{
    runControlChanged(nullptr);
    m_info->flush();
    switch (result.end) {
    case BatchRunResult::End::EndedEarly: break;
    case BatchRunResult::End::Stopped: keepEntriesNotReached(result.done); break;
    case BatchRunResult::End::Completed:
        clearList();
        if (m_config.announceCompletion) {
            m_label4->clear();
            m_label4->adjustSize();
            appendInfo(QStringLiteral("列表中的所有文档加密完成!"));
        }
        break;
    }
    // Once the handler has returned, as a queued call from a hook on this thread came.
    if (!result.endBox.text.isEmpty())
        QMetaObject::invokeMethod(
            this,
            [this, box = result.endBox] {
                m_services.messages.showWithDetails(this, box.text, platform::MessageIcon::Information, box.details);
            },
            Qt::QueuedConnection);
    if (!result.afterRun.isEmpty())
        QMetaObject::invokeMethod(
            this, [this, after = result.afterRun] { appendInfo(after.join(QLatin1Char('\n'))); }, Qt::QueuedConnection);
}

void BatchListWindow::keepEntriesNotReached(size_t done)
{
    const std::vector<BatchEntry> left(m_list.entries().begin() + qsizetype(done), m_list.entries().end());
    clearList();
    for (const BatchEntry& entry : left)
        m_list.add(entry);
    appendItems(0);
    refreshCount();
    appendInfo(platform::cancelledText(qint64(done), qint64(left.size())));
}

} // namespace korvane::batchlist
