#include "recorder/frmlog.h"

#include "platform/services.h"
#include "platform/widgets/placement.h"
#include "recorder/filedatabase.h"

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <algorithm>

namespace korvane::recorder {

using platform::makeNamed;
using platform::MessageIcon;
using platform::twips;

namespace {

/// The locale's short date and time with the seconds after the minutes ("2024/3/5 14:07:09"):
/// two runs within one minute must be told apart.
QString withSeconds(const QString& format)
{
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == u'\'')
            quoted = !quoted;
        else if (!quoted && format[i] == u's')
            return format;
    }
    quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] == u'\'') {
            quoted = !quoted;
        } else if (!quoted && format[i] == u'm') {
            qsizetype end = i;
            while (end < format.size() && format[end] == u'm')
                ++end;
            const QChar separator = i > 0 && !format[i - 1].isLetter() ? format[i - 1] : QChar(u':');
            return format.left(end) + separator + QStringLiteral("ss") + format.mid(end);
        }
    }
    return format;
}

QString cellText(const QVariant& value)
{
    if (value.typeId() == QMetaType::QDateTime) {
        const QLocale locale;
        return locale.toString(value.toDateTime(), withSeconds(locale.dateTimeFormat(QLocale::ShortFormat)));
    }
    return value.toString();
}

} // namespace

Frmlog::Frmlog(platform::Services& services, QWidget* parent) : QDialog(parent), m_services(services)
{
    setObjectName(QStringLiteral("Frmlog"));
    setWindowTitle(QStringLiteral("日志"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(twips(5400), twips(3750));

    m_msf1 = makeNamed<QTableWidget>(this, "MSF1", {0, 0, 5415, 3255});
    m_msf1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_msf1->verticalHeader()->hide();
    // A grid's compact rows (240 twips), not a list view's tall ones; never below the text.
    m_msf1->verticalHeader()->setMinimumSectionSize(1);
    m_msf1->verticalHeader()->setDefaultSectionSize(std::max(twips(240), m_msf1->fontMetrics().height() + 4));
    m_msf1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_msf1->horizontalHeader()->setHighlightSections(false);
    m_msf1->setColumnCount(2);
    // Long folders differ at their ends (the last folders of the path), not at "/home/…".
    m_msf1->setTextElideMode(Qt::ElideMiddle);

    auto* command1 = makeNamed<QPushButton>(this, "Command1", QStringLiteral("删除"), {240, 3360, 1215, 375});
    auto* command2 = makeNamed<QPushButton>(this, "Command2", QStringLiteral("清空"), {2100, 3360, 1215, 375});
    makeNamed<QPushButton>(this, "Command3", QStringLiteral("重新添加"), {3960, 3360, 1215, 375}); // no action

    connect(command1, &QPushButton::clicked, this, &Frmlog::Command1_Click);
    connect(command2, &QPushButton::clicked, this, &Frmlog::Command2_Click);

    Form_Load();
}

Frmlog::~Frmlog() = default;

void Frmlog::Form_Load()
{
    m_db = std::make_unique<FileDatabase>(
        QFile::encodeName(QDir(m_services.programFolder).filePath(QStringLiteral("db1.mdb"))), m_services.fs);
    m_msf1->setColumnWidth(0, twips(3000));
    m_msf1->setColumnWidth(1, twips(2000));
    platform::centerOver(this, m_services.mainWindow);
    fillGrid();
}

void Frmlog::fillGrid()
{
    const platform::Result<LogListing> listing = m_db->listLog();
    m_msf1->setHorizontalHeaderLabels(listing ? listing->columns
                                              : QStringList{QStringLiteral("folder"), QStringLiteral("logtime")});
    const int rows = listing ? int(listing->rows.size()) : 0;
    m_msf1->clearContents();
    m_msf1->setRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        const LogListing::Row& row = listing->rows[size_t(r)];
        auto* folder = new QTableWidgetItem(cellText(row.folder));
        folder->setToolTip(folder->text()); // the whole path, where the cell shows part of it
        m_msf1->setItem(r, 0, folder);
        m_msf1->setItem(r, 1, new QTableWidgetItem(cellText(row.logtime)));
    }
}

void Frmlog::reportFailure(const platform::Status& failure)
{
    m_services.messages.show(
        this, failureText(*m_db, failure, QDir(m_services.programFolder).filePath(QStringLiteral("db1.mdb"))),
        MessageIcon::Information);
}

bool Frmlog::logHasRows()
{
    const platform::Result<bool> empty = m_db->isEmpty(Table::Log);
    if (!empty) {
        reportFailure(empty.status());
        return false;
    }
    if (*empty) {
        m_services.messages.show(this, QStringLiteral("没有记录!"), MessageIcon::Information);
        return false;
    }
    return true;
}

void Frmlog::Command1_Click()
{
    if (!logHasRows())
        return;
    if (const platform::Status deleted = m_db->deleteFirstLogRow(); !deleted) {
        reportFailure(deleted);
        return;
    }
    fillGrid();
}

void Frmlog::Command2_Click()
{
    if (!logHasRows())
        return;
    if (const platform::Status deleted = m_db->deleteAllRows(Table::Log); !deleted) {
        reportFailure(deleted);
        return;
    }
    fillGrid();
    m_services.messages.show(this, QStringLiteral("已清空日志信息"), MessageIcon::None);
}

} // namespace korvane::recorder
