#include "recorder/frmrec.h"

#include "platform/nativepath.h"
#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/busycursor.h"
#include "platform/widgets/clickablelabel.h"
#include "platform/widgets/dropfilter.h"
#include "platform/widgets/placement.h"
#include "recorder/filedatabase.h"
#include "recorder/frmlog.h"
#include "recorder/recording.h"
#include "recorder/sizelookup.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionComboBox>
#include <QStyledItemDelegate>
#include <QThread>
#include <algorithm>

namespace korvane::recorder {

using platform::makeNamed;
using platform::MessageIcon;
using platform::twips;

namespace {

/// Image1: a card index with a magnifier, 105 x 140 pixels.
QPixmap recorderArt()
{
    QPixmap art(105, 140);
    art.fill(Qt::transparent);
    QPainter p(&art);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 140);
    sky.setColorAt(0, QColor(226, 236, 250));
    sky.setColorAt(1, QColor(170, 195, 230));
    p.setPen(Qt::NoPen);
    p.setBrush(sky);
    p.drawRoundedRect(QRectF(1, 1, 103, 138), 8, 8);
    // Cards, one behind the other, each with a line of "name, size, date".
    for (int i = 3; i >= 0; --i) {
        const QRectF card(14 + i * 4, 18 + i * 14, 62, 40);
        p.setPen(QPen(QColor(70, 85, 110), 1.2));
        p.setBrush(QColor(255 - i * 8, 252 - i * 6, 240 - i * 10));
        p.drawRoundedRect(card, 3, 3);
        p.setPen(QPen(QColor(120, 140, 175), 1.5));
        for (int line = 0; line < 3; ++line)
            p.drawLine(QPointF(card.left() + 7, card.top() + 10 + line * 9),
                       QPointF(card.right() - 7 - line * 10, card.top() + 10 + line * 9));
    }
    // Magnifier over the front card: finding a file by its size.
    p.setPen(QPen(QColor(90, 60, 30), 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(78, 112), QPointF(94, 130));
    p.setPen(QPen(QColor(60, 70, 90), 3));
    p.setBrush(QColor(200, 230, 255, 150));
    p.drawEllipse(QPointF(68, 100), 15, 15);
    return art;
}

} // namespace

frmrec::frmrec(platform::Services& services, QWidget* parent)
    : QDialog(parent), m_services(services), m_run(new platform::BackgroundRun(this, services.messages)),
      m_types(std::make_unique<TypeDescriber>()), m_runModal([](QDialog& dialog) { dialog.exec(); })
{
    setObjectName(QStringLiteral("frmrec"));
    setWindowTitle(QStringLiteral("文件信息批量记录工具"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(twips(3195), twips(4305));

    // Created in tab order.
    m_command1 = makeNamed<QPushButton>(this, "Command1", QStringLiteral("选择一个目录"), {1800, 120, 1335, 375});
    m_command2 = makeNamed<QPushButton>(this, "Command2", QStringLiteral("当前目录"), {1800, 630, 1335, 375});
    m_command3 = makeNamed<QPushButton>(this, "Command3", QStringLiteral("清空记录"), {1800, 1140, 1335, 375});
    m_command4 = makeNamed<QPushButton>(this, "Command4", QStringLiteral("日 志"), {1800, 1650, 1335, 375});
    m_text1 = makeNamed<QLineEdit>(this, "Text1", QStringLiteral("2"), {120, 2685, 615, 270});

    m_label1 = makeNamed<platform::ClickableLabel>(this, "Label1", QStringLiteral("查询"), {1440, 2700, 495, 255});
    m_label1->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_label1->setCursor(Qt::PointingHandCursor);

    m_text2 = makeNamed<QPlainTextEdit>(this, "Text2", {120, 3000, 3015, 1215});
    m_text2->setReadOnly(true);
    m_text2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A box with only a vertical scroll bar wraps its long lines.
    m_text2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_text2->setLineWrapMode(QPlainTextEdit::WidgetWidth);

    m_combo1 = makeNamed<QComboBox>(this, "Combo1", {840, 2670, 495, 300});
    m_combo1->addItems({QStringLiteral("MB"), QStringLiteral("KB"), QStringLiteral("Byte")});
    // A slim arrow and little padding: the box is narrow.
    m_combo1->setStyleSheet(
        QStringLiteral("QComboBox { padding: 0 0 0 1px; font-size: 8pt; } QComboBox::drop-down { width: 9px; }"));
    fitUnitBox();

    m_text3 = makeNamed<QLineEdit>(this, "Text3", QStringLiteral("1"), {2640, 2685, 375, 270});
    makeNamed<QLabel>(this, "Label2", QStringLiteral("差值"), {2160, 2700, 495, 255})
        ->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_text4 = makeNamed<QLineEdit>(this, "Text4", {120, 2212, 1575, 270});
    m_command5 = makeNamed<QPushButton>(this, "Command5", QStringLiteral("记录"), {1800, 2160, 1335, 375});

    auto* image = makeNamed<QLabel>(this, "Image1", {120, 0, 1575, 2100});
    image->setPixmap(recorderArt());

    connect(m_command1, &QPushButton::clicked, this, &frmrec::Command1_Click);
    connect(m_command2, &QPushButton::clicked, this, &frmrec::Command2_Click);
    connect(m_command3, &QPushButton::clicked, this, &frmrec::Command3_Click);
    connect(m_command4, &QPushButton::clicked, this, &frmrec::Command4_Click);
    connect(m_command5, &QPushButton::clicked, this, &frmrec::Command5_Click);
    connect(m_label1, &platform::ClickableLabel::clicked, this, &frmrec::Label1_Click);
    m_text1->installEventFilter(this);
    platform::takeDrops(
        m_text1, [this](const auto& paths) { return droppedFileSize(m_services.fs, paths).has_value(); },
        [this](const auto& paths) { Text1_Drop(paths); });
    platform::takePathDrops(m_text4);

    Form_Load();
}

frmrec::~frmrec()
{
    m_run->stopAndWait(); // the job uses members that go before the run object
}

QString frmrec::databasePath() const
{
    return QDir(m_services.programFolder).filePath(QStringLiteral("db1.mdb"));
}

/// Our fonts are wider than the design's: the closed box grows to the right, into the gap
/// before "查询", until its widest unit fits (never "…" for "MB" or "Byte"), and the open list is
/// as wide as its entries.
void frmrec::fitUnitBox()
{
    int widest = 0;
    for (int i = 0; i < m_combo1->count(); ++i)
        widest = std::max(widest, m_combo1->fontMetrics().horizontalAdvance(m_combo1->itemText(i)));
    QStyleOptionComboBox option;
    option.initFrom(m_combo1);
    const int field =
        m_combo1->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, m_combo1).width();
    const int room = m_label1->x() - 1 - m_combo1->x();
    m_combo1->resize(
        std::clamp(m_combo1->width() + widest + 2 - field, m_combo1->width(), std::max(room, m_combo1->width())),
        m_combo1->height());
    // The menu-like delegate of a styled box keeps a column for a check mark, which leaves the
    // text of a narrow list no room; a plain item needs none.
    m_combo1->setItemDelegate(new QStyledItemDelegate(m_combo1));
    m_combo1->view()->setMinimumWidth(widest + 4 * m_combo1->view()->frameWidth() + 8);
}

void frmrec::Form_Load()
{
    m_db = std::make_unique<FileDatabase>(QFile::encodeName(databasePath()), m_services.fs);
    m_combo1->setCurrentIndex(0);
    platform::centerOver(this, m_services.mainWindow);
}

bool frmrec::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_text1) {
        if (event->type() == QEvent::FocusIn) {
            Text1_GotFocus();
            // A click that brings the focus would put the caret where it lands.
            m_selectOnRelease = static_cast<QFocusEvent*>(event)->reason() == Qt::MouseFocusReason;
        } else if (event->type() == QEvent::MouseButtonRelease && m_selectOnRelease) {
            m_selectOnRelease = false;
            if (!m_text1->hasSelectedText())
                Text1_GotFocus();
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmrec::Text1_GotFocus()
{
    m_text1->setSelection(0, int(m_text1->text().size()));
}

void frmrec::Text1_Drop(const QList<QByteArray>& paths)
{
    const std::optional<qint64> size = droppedFileSize(m_services.fs, paths);
    if (!size)
        return;
    m_text1->setText(QString::number(*size));
    m_combo1->setCurrentIndex(2); // Byte
    m_text3->setText(QStringLiteral("0"));
}

void frmrec::record(const QString& folder, const QString& doneMessage)
{
    const bool started = m_run->start(
        QStringLiteral("正在记录文件信息…"),
        [this, folder](platform::RunControl& control) {
            // The window's connection goes with the run and comes back with it.
            QThread* const worker = QThread::currentThread();
            m_run->onUiThread([&] { m_db->moveToThread(worker); });
            // The log row is stored with the rows, before the message: a kill or logout while
            // the box is up loses nothing, and the box holds no transaction open.
            RecordReport report =
                recordFolder(m_services.fs, *m_db, platform::nativePath(folder), *m_types, &control, folder);
            m_db->moveToThread(thread());
            return report;
        },
        [this, doneMessage](const RecordReport& result) {
            const RecordReport* const report = &result;
            if (report->stopped) {
                // Rolled back: nothing of the folder was kept.
                m_services.messages.show(this, platform::cancelledText(0, report->files), MessageIcon::None);
                return;
            }
            if (!report->recorded)
                return;
            if (!report->store) {
                m_services.messages.show(this, storeFailureText(*m_db, report->store, databasePath()),
                                         MessageIcon::Information);
                return;
            }
            m_services.messages.show(this, doneMessage, MessageIcon::None);
        });
    Q_ASSERT(started); // the buttons that start one are disabled during a run
}

void frmrec::Command1_Click()
{
    const QString folder = m_services.folders.chooseFolder(this, QStringLiteral("请选择要记录文件信息的文件夹："));
    if (folder.isEmpty())
        return;
    record(folder, QStringLiteral("所选目录文件信息记录完毕!"));
}

void frmrec::Command2_Click()
{
    record(m_services.programFolder, QStringLiteral("当前目录文件信息记录完毕!"));
}

void frmrec::Command5_Click()
{
    const QString folder = m_text4->text();
    if (folder.isEmpty()) {
        m_services.messages.show(this, QStringLiteral("没有输入要记录路径!"), MessageIcon::None);
        return;
    }
    record(folder, QStringLiteral("该目录文件信息记录完毕!"));
}

void frmrec::reportDatabaseFailure(const platform::Status& failure)
{
    m_services.messages.show(this, failureText(*m_db, failure, databasePath()), MessageIcon::Information);
}

void frmrec::Command3_Click()
{
    const platform::Result<bool> empty = m_db->isEmpty(Table::FileInf);
    if (!empty) {
        reportDatabaseFailure(empty.status());
        return;
    }
    if (*empty) {
        m_services.messages.show(this, QStringLiteral("没有记录!"), MessageIcon::Information);
        return;
    }
    if (const platform::Status deleted = m_db->deleteAllRows(Table::FileInf); !deleted) {
        reportDatabaseFailure(deleted);
        return;
    }
    m_services.messages.show(this, QStringLiteral("已清空所有已记录文件信息"), MessageIcon::None);
}

void frmrec::Command4_Click()
{
    Frmlog log(m_services); // no owner
    m_runModal(log);
}

void frmrec::Label1_Click()
{
    m_text2->clear();
    LookupResult result;
    {
        const platform::BusyCursor busy;
        result = lookUpBySize(*m_db, m_text1->text(), m_text3->text(), m_combo1->currentIndex());
        if (!result.names.isEmpty()) {
            // One assignment for all names: rebuilding the text per name is quadratic.
            m_text2->setPlainText(resultsText(result.names));
            m_text2->moveCursor(QTextCursor::End);
            m_text2->ensureCursorVisible();
        }
    }
    if (result.outcome == LookupResult::Outcome::NoneInRange)
        m_services.messages.show(this, QStringLiteral("没有记录!"), MessageIcon::None);
    else if (result.outcome == LookupResult::Outcome::Failed)
        m_services.messages.show(this, QStringLiteral("没有记录"), MessageIcon::None);
}

} // namespace korvane::recorder
