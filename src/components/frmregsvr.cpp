#include "components/frmregsvr.h"

#include "components/artwork.h"
#include "components/registration.h"
#include "platform/nativepath.h"
#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/dropfilter.h"
#include "platform/widgets/placement.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

namespace korvane::components {

using platform::makeNamed;
using platform::twips;

Frmregsvr::Frmregsvr(platform::Services& services, QWidget* parent)
    : QWidget(parent), m_services(services), m_run(new platform::BackgroundRun(this, services.messages))
{
    setObjectName(QStringLiteral("Frmregsvr"));
    setWindowTitle(QStringLiteral("DLL,OCX批量注册工具"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    setFixedSize(twips(3945), twips(2850));

    auto* image = makeNamed<QLabel>(this, "Image1", {120, 0, 1800, 1905});
    image->setScaledContents(true);
    // Painted at twice the control's size: stretched evenly, sharp on dense screens.
    image->setPixmap(QPixmap::fromImage(registrationPicture(image->size() * 2)));

    auto* command1 =
        makeNamed<QPushButton>(this, "Command1", QStringLiteral("选择一个目录注册"), {2160, 120, 1695, 375});
    auto* command2 = makeNamed<QPushButton>(this, "Command2", QStringLiteral("当前目录注册"), {2160, 1020, 1695, 375});
    auto* command5 = makeNamed<QPushButton>(this, "Command5", QStringLiteral("注册"), {2160, 1920, 1695, 375});
    m_text4 = makeNamed<QLineEdit>(this, "Text4", {120, 1965, 1800, 270});
    platform::takePathDrops(m_text4);
    auto* command3 = makeNamed<QPushButton>(this, "Command3", QStringLiteral("关闭"), {1200, 2400, 1695, 375});

    connect(command1, &QPushButton::clicked, this, &Frmregsvr::Command1_Click);
    connect(command2, &QPushButton::clicked, this, &Frmregsvr::Command2_Click);
    connect(command5, &QPushButton::clicked, this, &Frmregsvr::Command5_Click);
    connect(command3, &QPushButton::clicked, this, &Frmregsvr::Command3_Click);
    connect(m_text4, &QLineEdit::returnPressed, this, &Frmregsvr::Command5_Click);

    Form_Load();
}

Frmregsvr::~Frmregsvr()
{
    m_run->stopAndWait(); // the job uses members that go before the run object
}

void Frmregsvr::Form_Load()
{
    platform::centerOver(this, m_services.mainWindow);
}

void Frmregsvr::Command1_Click()
{
    const QString folder =
        m_services.folders.chooseFolder(this, QStringLiteral("请选择包含想注册的dll,ocx文件的文件夹："));
    if (folder.isEmpty())
        return;
    registerFolder(folder,
                   {QStringLiteral("所选目录全部dll或ocx文件注册完毕!"), QStringLiteral("所选目录下面没有文件!")});
}

void Frmregsvr::Command2_Click()
{
    registerFolder(m_services.programFolder, {QStringLiteral("当前目录全部dll或ocx文件注册完毕!"), QString()});
}

void Frmregsvr::Command5_Click()
{
    // Taken exactly as typed: a path may legitimately begin or end with a space.
    const QString folder = m_text4->text();
    if (folder.isEmpty()) {
        say(QStringLiteral("请先输入要注册的目录!"));
        return;
    }
    registerFolder(folder, {QStringLiteral("该目录全部dll或ocx文件注册完毕!"), QStringLiteral("该目录下面没有文件!")});
}

void Frmregsvr::Command3_Click()
{
    close();
}

void Frmregsvr::registerFolder(const QString& folder, const ButtonTexts& texts)
{
    const bool started = m_run->start(
        QStringLiteral("正在注册dll或ocx文件…"),
        [this, folder](platform::RunControl& control) {
            return components::registerFolder(m_services.fs, m_services.programs, platform::nativePath(folder),
                                              &control);
        },
        [this, texts](const RegistrationRun& run) { reportRun(run, texts); });
    Q_ASSERT(started); // the buttons that start one are disabled during a run
}

void Frmregsvr::reportRun(const RegistrationRun& run, const ButtonTexts& texts)
{
    const RegistrationMessage message = registrationMessage(run, texts.done, texts.noFiles);
    if (!message.text.isEmpty())
        m_services.messages.showWithDetails(this, message.text, platform::MessageIcon::None, message.details);
}

void Frmregsvr::say(const QString& text)
{
    m_services.messages.show(this, text, platform::MessageIcon::None);
}

} // namespace korvane::components
