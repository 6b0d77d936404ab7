#include "filemanager/frmmove.h"

#include "filemanager/filtersettings.h"
#include "platform/nativepath.h"
#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/clickablelabel.h"
#include "platform/widgets/dropfilter.h"
#include "platform/widgets/placement.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <memory>

namespace korvane::filemanager {

using platform::formFont;
using platform::makeNamed;
using platform::MessageIcon;
using platform::twips;

namespace {

/// The progress dialog's line for an operation.
QString operationText(Operation operation)
{
    switch (operation) {
    case Operation::Move: return QStringLiteral("正在移动文件…");
    case Operation::Copy: return QStringLiteral("正在复制文件…");
    case Operation::Delete:
    case Operation::ForceDelete: break;
    }
    return QStringLiteral("正在删除文件…");
}

} // namespace

frmmove::frmmove(platform::Services& services, QWidget* parent)
    : QWidget(parent), m_services(services), m_run(new platform::BackgroundRun(this, services.messages))
{
    setObjectName(QStringLiteral("frmmove"));
    setWindowTitle(QStringLiteral("文件批量管理"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    setFixedSize(twips(5760), twips(3780));
    setFont(formFont());

    makeNamed<QLabel>(this, "Label1", QStringLiteral("源"), {120, 120, 255, 255});
    m_text1 = makeNamed<QLineEdit>(this, "Text1", {360, 255, 2775, 270});
    m_combo1 = makeNamed<QComboBox>(this, "Combo1", {3240, 240, 855, 300});
    m_combo1->setEditable(true);
    m_combo1->setInsertPolicy(QComboBox::NoInsert); // typing chooses a type, it adds no item
    m_combo1->addItems({QStringLiteral("*.exe"), QStringLiteral("*.txt"), QStringLiteral("*.jpg"),
                        QStringLiteral("*.rm"), QStringLiteral("*.rar")});
    auto* command1 = makeNamed<QPushButton>(this, "Command1", QStringLiteral("选择一个目录"), {4200, 0, 1335, 375});
    auto* command2 = makeNamed<QPushButton>(this, "Command2", QStringLiteral("选择当前目录"), {4200, 440, 1335, 375});

    auto* label3 =
        makeNamed<platform::ClickableLabel>(this, "Label3", QStringLiteral("添加更多过滤"), {3000, 600, 1095, 255});
    QFont linkFont = formFont();
    linkFont.setUnderline(true);
    label3->setFont(linkFont);
    QPalette linkPalette = label3->palette();
    linkPalette.setColor(QPalette::WindowText, Qt::blue);
    label3->setPalette(linkPalette);
    label3->setCursor(Qt::PointingHandCursor);

    m_label2 = makeNamed<QLabel>(this, "Label2", QStringLiteral("至"), {120, 840, 255, 255});
    m_text2 = makeNamed<QLineEdit>(this, "Text2", {360, 960, 2775, 270});
    for (QLineEdit* box : {m_text1, m_text2})
        platform::takePathDrops(box);
    m_check2 = makeNamed<QCheckBox>(this, "Check2", QStringLiteral("覆盖"), {3240, 908, 735, 375});
    m_check2->setChecked(true);
    auto* command4 = makeNamed<QPushButton>(this, "Command4", QStringLiteral("选择一个目录"), {4200, 880, 1335, 375});
    auto* command5 = makeNamed<QPushButton>(this, "Command5", QStringLiteral("选择当前目录"), {4200, 1320, 1335, 375});

    // A control array: four buttons named "Option1", told apart by their "Index" property.
    const QString captions[4] = {QStringLiteral("移动"), QStringLiteral("复制"), QStringLiteral("删除"),
                                 QStringLiteral("强制删除")};
    const int lefts[4] = {360, 1240, 2120, 3000};
    const int widths[4] = {855, 855, 855, 1095};
    for (int i = 0; i < 4; ++i) {
        m_option1[i] = makeNamed<QRadioButton>(this, "Option1", captions[i], {lefts[i], 1440, widths[i], 255});
        m_option1[i]->setProperty("Index", i);
        connect(m_option1[i], &QRadioButton::clicked, this, [this, i] { Option1_Click(i); });
    }
    m_option1[0]->setChecked(true);

    m_check1 = makeNamed<QCheckBox>(this, "Check1", QStringLiteral("包含子文件夹"), {360, 1800, 1695, 255});
    m_check1->setChecked(true);
    // Drawn a little taller than designed (180 twips) so the box and its text are not cut off.
    m_check3 = makeNamed<QCheckBox>(this, "Check3", QStringLiteral("一次操作多种类型的文件,类型如下:"),
                                    {360, 2130, 3240, 255});
    m_text3 = makeNamed<QLineEdit>(this, "Text3", QStringLiteral("txt"), {360, 2400, 3855, 270});
    auto* label5 = makeNamed<QLabel>(
        this, "Label5",
        QStringLiteral("提示:在上面的框中输入要过滤的文件扩展名,如有多个,请务必以分号分隔!示例:chm;doc"),
        {360, 2760, 3855, 450}); // 375 designed; two lines need a little more here
    label5->setWordWrap(true);
    label5->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* command3 = makeNamed<QPushButton>(this, "Command3", QStringLiteral("开始"), {1080, 3240, 1215, 375});
    auto* command6 = makeNamed<QPushButton>(this, "Command6", QStringLiteral("关闭"), {3120, 3240, 1215, 375});

    connect(command1, &QPushButton::clicked, this, &frmmove::Command1_Click);
    connect(command2, &QPushButton::clicked, this, &frmmove::Command2_Click);
    connect(command3, &QPushButton::clicked, this, &frmmove::Command3_Click);
    connect(command4, &QPushButton::clicked, this, &frmmove::Command4_Click);
    connect(command5, &QPushButton::clicked, this, &frmmove::Command5_Click);
    connect(command6, &QPushButton::clicked, this, &frmmove::Command6_Click);
    connect(label3, &platform::ClickableLabel::clicked, this, &frmmove::Label3_Click);

    Form_Load();
}

frmmove::~frmmove()
{
    m_run->stopAndWait(); // the job uses members that go before the run object
}

void frmmove::Form_Load()
{
    m_combo1->setCurrentIndex(0);
    platform::centerOver(this, m_services.mainWindow);
    m_operation = 1;
}

void frmmove::Command1_Click()
{
    const QString folder = m_services.folders.chooseFolder(this, QStringLiteral("请选择文件夹："));
    if (!folder.isEmpty())
        m_text1->setText(folder);
}

void frmmove::Command2_Click()
{
    m_text1->setText(m_services.programFolder);
}

void frmmove::Command4_Click()
{
    const QString folder = m_services.folders.chooseFolder(this, QStringLiteral("请选择文件夹："));
    if (!folder.isEmpty())
        m_text2->setText(folder);
}

void frmmove::Command5_Click()
{
    m_text2->setText(m_services.programFolder);
}

void frmmove::Command6_Click()
{
    close();
}

void frmmove::Option1_Click(int Index)
{
    const bool targetRow = Index == 0 || Index == 1;
    m_label2->setVisible(targetRow);
    m_text2->setVisible(targetRow);
    m_check2->setVisible(targetRow);
    m_operation = qint16(Index + 1);
}

void frmmove::Label3_Click()
{
    const QString answer =
        m_services.input.ask(this, QStringLiteral("输入要过滤的文件扩展名,如有多个,请务必以分号分隔!示例:chm;doc"),
                             QStringLiteral("Korvane"), QString());
    const platform::Status written =
        writeFilterSetting(m_services.fs, m_services.programFolder, m_text1->text().trimmed());
    m_combo1->addItems(newFilterItems(answer));
    if (!written.ok())
        m_services.messages.show(this, QStringLiteral("无法保存设置文件setting.txt: ") + written.message(),
                                 MessageIcon::Information);
}

void frmmove::Command3_Click()
{
    if (m_run->isRunning())
        return;
    RunRequest request;
    request.source = platform::nativePath(m_text1->text());
    request.target = platform::nativePath(m_text2->text());
    request.operation = Operation(m_operation);
    request.includeSubfolders = m_check1->isChecked();
    request.overwrite = m_check2->isChecked();
    request.typeListMode = m_check3->isChecked();
    request.singleType = m_combo1->currentText();

    BatchFileManager manager(m_services.fs);
    const Refusal refusal = manager.check(request);
    if (refusal != Refusal::None) {
        m_services.messages.show(this, refusalMessage(refusal), MessageIcon::Information);
        return;
    }

    // The worker never reads the box itself: its text is taken here and again whenever the
    // user has had the chance to change it (a message box in the middle of the run).
    const Operation operation = request.operation;
    const bool started = m_run->start(
        operationText(operation),
        // The engine is move-only and the job must be copyable: it goes along behind a pointer.
        [this, manager = std::make_shared<BatchFileManager>(std::move(manager)), request = std::move(request),
         typeList = m_text3->text()](platform::RunControl& control) mutable {
            request.typeList = [&typeList] { return typeList; };
            manager->onEmptyTypeList = [this, &typeList](const NativePath&) {
                platform::interactWithUser([this, &typeList] {
                    m_services.messages.show(this, QStringLiteral("已选中操作多种类型文件,但没有指定!"),
                                             MessageIcon::Information);
                    typeList = m_text3->text();
                });
            };
            return manager->run(request, &control);
        },
        [this](const RunReport& report) {
            m_lastReport = report;
            if (report.stopped) {
                m_services.messages.show(
                    this, platform::cancelledText(report.visited, report.found - report.visited, report.foldersLeft),
                    MessageIcon::Information);
                return;
            }
            // A run that did everything ends in silence; one that left files says which.
            if (const QString undone = unfinishedText(report); !undone.isEmpty())
                m_services.messages.showWithDetails(this, undone, MessageIcon::Information, unfinishedDetails(report));
        });
    Q_ASSERT(started); // checked above
}

} // namespace korvane::filemanager
