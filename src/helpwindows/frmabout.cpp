#include "helpwindows/frmabout.h"

#include "helpwindows/sysinfo.h"
#include "platform/services.h"
#include "platform/widgets/clickablelabel.h"
#include "platform/widgets/placement.h"

#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVersionNumber>

namespace korvane::helpwindows {

using platform::makeNamed;
using platform::twips;

const char* const kAuthorPage = "https://korvane.github.io/";

namespace {

const QString kTitle = QStringLiteral("Korvane");
constexpr int kMajor = 1, kMinor = 0, kRevision = 0;

/// The about box's text is set larger than the other forms'.
constexpr double kTextPoints = 10.5;

void addLabel(QWidget* parent, const char* name, const QString& text, platform::TwipsRect at)
{
    auto* label = makeNamed<QLabel>(parent, name, text, at);
    label->setFont(platform::formFont(kTextPoints));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

} // namespace

frmAbout::frmAbout(platform::Services& services, QWidget* parent) : QDialog(parent), m_services(services)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("关于"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(twips(6435), twips(4650));

    auto* image = makeNamed<QLabel>(this, "Image1", {120, 120, 2280, 3240});
    image->setScaledContents(true);
    image->setPixmap(QPixmap(QStringLiteral(":/helpwindows/about.jpg")));

    addLabel(this, "lblTitle", QStringLiteral("应用程序标题"), {2460, 360, 3885, 240});
    addLabel(this, "lblVersion", QStringLiteral("版本:"), {2460, 720, 3885, 225});
    addLabel(this, "lblDescription", QStringLiteral("精巧的文件管理工具,批量执行各种文件操作,省时省心!"),
             {2460, 1080, 3525, 690});
    addLabel(this, "Label1", QStringLiteral("Korvane 开发组 出品"), {2460, 2040, 2610, 225});

    auto* link =
        makeNamed<platform::ClickableLabel>(this, "Label2", QStringLiteral("我的博客"), {4920, 3240, 1215, 255});
    QFont linkFont = platform::formFont(kTextPoints);
    linkFont.setUnderline(true);
    link->setFont(linkFont);
    QPalette pal = link->palette();
    pal.setColor(QPalette::WindowText, Qt::blue);
    link->setPalette(pal);
    link->setCursor(QCursor(QPixmap(QStringLiteral(":/helpwindows/linkcursor.png")), 1, 1));

    auto* line = new QFrame(this);
    line->setObjectName(QStringLiteral("Line1"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(twips(120), twips(3600) - 1, twips(6120 - 120), 2);

    addLabel(this, "lblDisclaimer", QStringLiteral("本软件按原样提供,不附带任何担保;\n处理重要文件前请先备份。"),
             {240, 3825, 3735, 705});

    auto* ok = makeNamed<QPushButton>(this, "cmdOK", QStringLiteral("确定"), {4800, 3720, 1365, 345});
    ok->setDefault(true); // Enter anywhere closes the box
    auto* sysInfo = makeNamed<QPushButton>(this, "cmdSysInfo", QStringLiteral("系统信息(&S)"), {4800, 4200, 1365, 345});

    connect(ok, &QPushButton::clicked, this, &QDialog::close);
    connect(sysInfo, &QPushButton::clicked, this, &frmAbout::StartSysInfo);
    connect(link, &platform::ClickableLabel::clicked, this, &frmAbout::Label2_Click);

    Form_Load();
}

void frmAbout::Form_Load()
{
    platform::centerOverWhenFramed(this, m_services.mainWindow);
    setWindowTitle(QStringLiteral("关于 ") + kTitle);
    findChild<QLabel*>(QStringLiteral("lblVersion"))
        ->setText(QStringLiteral("版本 %1.%2.%3").arg(kMajor).arg(kMinor).arg(kRevision));
    findChild<QLabel*>(QStringLiteral("lblTitle"))->setText(kTitle);
}

void frmAbout::StartSysInfo()
{
    if (!startSysInfo(m_services.registry, m_services.fs, m_services.programs))
        m_services.messages.show(this, QStringLiteral("此时系统信息不可用"), platform::MessageIcon::None);
}

void frmAbout::Label2_Click()
{
    // The answer may come after a moment, when the box may be gone.
    m_services.desktop.openUrl(
        QUrl(QString::fromLatin1(kAuthorPage)),
        [window = QPointer<QWidget>(this), &messages = m_services.messages](const platform::Status& opened) {
            if (!opened)
                messages.show(window, QStringLiteral("无法启动浏览器打开网页: %1").arg(opened.message()),
                              platform::MessageIcon::Information);
        });
}

} // namespace korvane::helpwindows
