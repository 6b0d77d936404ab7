#include "helpwindows/frmtip.h"

#include "platform/nativepath.h"
#include "platform/services.h"
#include "platform/widgets/placement.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace korvane::helpwindows {

using platform::makeNamed;
using platform::twips;

namespace {
const QString kSection = QStringLiteral("Options");
const QString kKey = QStringLiteral("在启动时显示提示");

QLabel* whiteLabel(QWidget* parent, const char* name, const QString& text, platform::TwipsRect at)
{
    auto* label = makeNamed<QLabel>(parent, name, text, at);
    label->setAutoFillBackground(true);
    QPalette pal = label->palette();
    pal.setColor(QPalette::Window, Qt::white);
    label->setPalette(pal);
    return label;
}
} // namespace

frmTip::frmTip(platform::Services& services, const bool& tipRequested, QWidget* parent)
    : QDialog(parent), m_services(services), m_tipRequested(tipRequested)
{
    setObjectName(QStringLiteral("frmTip"));
    setWindowTitle(QStringLiteral("日积月累"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(twips(5685), twips(3285));

    auto* picture = makeNamed<QFrame>(this, "Picture1", {120, 120, 3735, 2715});
    picture->setFrameShape(QFrame::StyledPanel);
    picture->setAutoFillBackground(true);
    QPalette pal = picture->palette();
    pal.setColor(QPalette::Window, Qt::white);
    picture->setPalette(pal);

    auto* icon = makeNamed<QLabel>(picture, "tipIcon", {0, 0, 480, 480});
    icon->setPixmap(QPixmap(QStringLiteral(":/helpwindows/tip.png")));

    whiteLabel(picture, "Label1", QStringLiteral("您知道吗..."), {540, 180, 2655, 255});
    m_lblTipText = whiteLabel(picture, "lblTipText", QString(), {180, 840, 3255, 1635});
    m_lblTipText->setWordWrap(true);
    m_lblTipText->setTextFormat(Qt::PlainText);
    m_lblTipText->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    m_cmdOK = makeNamed<QPushButton>(this, "cmdOK", QStringLiteral("确定"), {4080, 120, 1455, 375});
    m_cmdOK->setDefault(true);
    m_cmdNextTip = makeNamed<QPushButton>(this, "cmdNextTip", QStringLiteral("下一条提示(&N)"), {4080, 600, 1455, 375});
    m_chkLoadTipsAtStartup = makeNamed<QCheckBox>(this, "chkLoadTipsAtStartup", QStringLiteral("在启动时显示提示(&S)"),
                                                  {120, 2940, 2055, 315});

    connect(m_cmdOK, &QPushButton::clicked, this, &QDialog::close);
    connect(m_cmdNextTip, &QPushButton::clicked, this, &frmTip::AdvanceTip);
    // Like the original check box, a change made by code "clicks" too.
    connect(m_chkLoadTipsAtStartup, &QCheckBox::toggled, this, &frmTip::chkLoadTipsAtStartup_Click);

    Form_Load();
}

QString frmTip::tipsFilePath() const
{
    return m_services.programFolder + QStringLiteral("/readme.txt");
}

void frmTip::Form_Load()
{
    const int wanted = m_services.settings.value(kSection, kKey, QStringLiteral("1")).trimmed().toInt();
    if (!m_tipRequested && wanted == 0) {
        m_closedWhileLoading = true;
        return;
    }
    m_chkLoadTipsAtStartup->setChecked(true);
    const QString path = tipsFilePath();
    if (!LoadTips(path) && mayWriteTips(path)) {
        // A failure to write is not handled here: the label just stays empty.
        platform::writeTextFile(m_services.fs, platform::nativePath(path), builtInTips(),
                                platform::TextEncoding::Locale);
        LoadTips(path);
    }
}

/// Only a missing tips file, or an empty plain one the user may write, is replaced. A file that
/// holds something but could not be read, a read-only file and a link are the user's: the
/// window then stays empty instead.
bool frmTip::mayWriteTips(const QString& path)
{
    const auto info = m_services.fs.info(platform::nativePath(path));
    if (!info)
        return true;
    return !info->isSymlink && info->kind == platform::EntryKind::File && info->size == 0 && (info->mode & 0222) != 0;
}

bool frmTip::LoadTips(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QByteArray native = platform::nativePath(path);
    if (!m_services.fs.fileExists(native))
        return false;
    const auto bytes = m_services.fs.readFile(native);
    if (!bytes || bytes->isEmpty())
        return false;
    m_tips.append(splitTips(*bytes));
    AdvanceTip();
    return true;
}

void frmTip::DisplayCurrentTip()
{
    if (!m_tips.isEmpty())
        m_lblTipText->setText(m_tips.currentTip());
}

void frmTip::AdvanceTip()
{
    m_tips.advance();
    DisplayCurrentTip();
}

void frmTip::chkLoadTipsAtStartup_Click()
{
    m_services.settings.setValue(kSection, kKey,
                                 m_chkLoadTipsAtStartup->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
}

} // namespace korvane::helpwindows
