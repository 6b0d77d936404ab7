#include "platform/widgets/runprogressdialog.h"

#include "platform/runcontrol.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace korvane::platform {

RunProgressDialog::RunProgressDialog(QWidget* window, RunControl& control) : QDialog(window), m_control(control)
{
    setObjectName(QStringLiteral("runProgress"));
    setWindowTitle(QStringLiteral("Korvane"));
    // Not window-modal: that would block the owner's owner too (the main window of an owned
    // tool window), and with it every other tool and the program's close box. The window's
    // own controls are disabled for the run instead.
    setWindowModality(Qt::NonModal);
    m_line = new QLabel(this);
    m_line->setObjectName(QStringLiteral("progressLine"));
    m_current = new QLabel(this);
    m_current->setObjectName(QStringLiteral("currentItem"));
    m_current->setMinimumWidth(360);
    m_bar = new QProgressBar(this);
    m_bar->setTextVisible(false);
    m_cancel = new QPushButton(QStringLiteral("取消"), this);
    m_cancel->setObjectName(QStringLiteral("cancelButton"));
    connect(m_cancel, &QPushButton::clicked, this, &RunProgressDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_line);
    layout->addWidget(m_current);
    layout->addWidget(m_bar);
    layout->addLayout(buttons);
}

void RunProgressDialog::refresh(const QString& action)
{
    const ProgressSnapshot s = m_control.snapshot();
    QString line = action + QStringLiteral(" 已处理 ") + QString::number(s.actedOn >= 0 ? s.actedOn : s.done);
    if (s.actedOn >= 0)
        line += QStringLiteral(" 个, 已检查 ") + QString::number(s.done);
    else if (s.total >= 0 && s.totalFinal)
        line += QStringLiteral(" / ") + QString::number(s.total);
    else if (s.total >= 0)
        line += QStringLiteral(" 个, 已找到 ") + QString::number(s.total); // the walk goes on
    m_line->setText(line + QStringLiteral(" 个"));
    m_current->setText(m_current->fontMetrics().elidedText(s.current, Qt::ElideMiddle, m_current->width()));
    // A total still growing is not the whole: a bar would stand nearly full all along.
    if (s.total > 0 && s.totalFinal) {
        // The bar counts in thousandths: totals beyond int range still fit.
        m_bar->setRange(0, 1000);
        // Large items in hand count as the part of one item they have done.
        const qint64 part = s.partTotal > 0 ? std::min(s.partDone, s.partTotal) * 1000 / s.partTotal : 0;
        m_bar->setValue(int(std::min<qint64>((std::min(s.done, s.total) * 1000 + part) / s.total, 1000)));
    } else {
        m_bar->setRange(0, 0); // busy indicator
    }
    if (s.stopRequested) {
        m_cancel->setEnabled(false);
        m_cancel->setText(QStringLiteral("正在取消…"));
    }
}

void RunProgressDialog::reject()
{
    m_control.requestStop();
}

} // namespace korvane::platform
