#include "helpdecompiler/frmdecp.h"

#include "helpdecompiler/decompilerun.h"
#include "helpdecompiler/extractprocess.h"
#include "platform/nativepath.h"
#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/dropfilter.h"
#include "platform/widgets/placement.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <optional>

namespace korvane::helpdecompiler {

using platform::makeNamed;
using platform::twips;

namespace {

const QString kPrompt = QStringLiteral("请选择文件夹：");

} // namespace

Frmdecp::Frmdecp(platform::Services& services, QWidget* parent)
    : QWidget(parent), m_services(services), m_run(new platform::BackgroundRun(this, services.messages))
{
    setObjectName(QStringLiteral("Frmdecp"));
    setWindowTitle(QStringLiteral("chm批量反编译"));
    setFixedSize(twips(5220), twips(3675));
    setFont(platform::formFont());

    makeNamed<QLabel>(this, "Label1", QStringLiteral("源"), {120, 120, 375, 255});
    m_text2 = makeNamed<QLineEdit>(this, "Text2", {360, 360, 2775, 270});
    auto* command4 = makeNamed<QPushButton>(this, "Command4", QStringLiteral("选择一个目录"), {3360, 0, 1695, 375});
    auto* command5 = makeNamed<QPushButton>(this, "Command5", QStringLiteral("选择当前目录"), {3360, 540, 1695, 375});
    m_check1 = makeNamed<QCheckBox>(this, "Check1", QStringLiteral("包含子文件夹"), {360, 600, 1695, 375});
    m_check1->setChecked(true);
    makeNamed<QLabel>(this, "Label2", QStringLiteral("至"), {120, 1080, 375, 255});
    m_text1 = makeNamed<QLineEdit>(this, "Text1", {360, 1320, 2775, 270});
    m_command1 = makeNamed<QPushButton>(this, "Command1", QStringLiteral("选择一个目录"), {3360, 1080, 1695, 375});
    m_command2 = makeNamed<QPushButton>(this, "Command2", QStringLiteral("选择当前目录"), {3360, 1560, 1695, 375});
    m_check2 = makeNamed<QCheckBox>(this, "Check2", QStringLiteral("存放到源目录"), {360, 1680, 1695, 375});
    for (QLineEdit* box : {m_text1, m_text2})
        platform::takePathDrops(box);
    auto* note = makeNamed<QLabel>(
        this, "Label3", QStringLiteral("注:反编译产生的文件会自动放到以chm文件命名的子目录下"), {360, 2160, 4680, 180});
    QPalette pal = note->palette();
    pal.setColor(QPalette::WindowText, QColor(0x00, 0x00, 0xC0)); // &H00C00000& is BGR: dark blue
    note->setPalette(pal);
    // The note's line is 12 pixels high and 312 wide; a smaller face keeps the whole sentence in it.
    QFont small = platform::formFont();
    small.setPixelSize(11);
    note->setFont(small);
    m_check3 = makeNamed<QCheckBox>(this, "Check3", QStringLiteral("生成hhp文件(Microsoft HTML Help Workshop工程文件)"),
                                    {360, 2520, 5055, 375});
    m_check3->setChecked(true);
    m_check3->setFont(small); // its box runs past the form's right edge; keep the caption inside
    m_command3 = makeNamed<QPushButton>(this, "Command3", QStringLiteral("反编译"), {840, 3120, 1215, 375});
    auto* command6 = makeNamed<QPushButton>(this, "Command6", QStringLiteral("关闭"), {2880, 3120, 1215, 375});

    connect(m_command1, &QPushButton::clicked, this, &Frmdecp::Command1_Click);
    connect(m_command2, &QPushButton::clicked, this, &Frmdecp::Command2_Click);
    connect(m_command3, &QPushButton::clicked, this, &Frmdecp::Command3_Click);
    connect(command4, &QPushButton::clicked, this, &Frmdecp::Command4_Click);
    connect(command5, &QPushButton::clicked, this, &Frmdecp::Command5_Click);
    connect(command6, &QPushButton::clicked, this, &Frmdecp::Command6_Click);
    connect(m_check2, &QCheckBox::clicked, this, &Frmdecp::Check2_Click);

    Form_Load();
}

Frmdecp::~Frmdecp()
{
    m_run->stopAndWait(); // the job uses members that go before the run object
}

void Frmdecp::Form_Load()
{
    platform::centerOver(this, m_services.mainWindow);
}

void Frmdecp::Command1_Click()
{
    const QString folder = m_services.folders.chooseFolder(this, kPrompt);
    if (!folder.isEmpty())
        m_text1->setText(folder);
}

void Frmdecp::Command2_Click()
{
    m_text1->setText(m_services.programFolder);
}

void Frmdecp::Command4_Click()
{
    const QString folder = m_services.folders.chooseFolder(this, kPrompt);
    if (!folder.isEmpty())
        m_text2->setText(folder);
}

void Frmdecp::Command5_Click()
{
    m_text2->setText(m_services.programFolder);
}

void Frmdecp::Check2_Click()
{
    const bool toSource = m_check2->isChecked();
    if (toSource)
        m_text1->setText(m_text2->text());
    m_command1->setEnabled(!toSource);
    m_command2->setEnabled(!toSource);
}

void Frmdecp::Command6_Click()
{
    close();
}

std::optional<Frmdecp::RunFolders> Frmdecp::runFolders()
{
    const auto refuse = [this](const QString& text) {
        m_services.messages.show(this, text, platform::MessageIcon::Information);
        return std::nullopt;
    };
    const QString trimmed = normalizedTarget(m_text1->text());
    m_text1->setText(trimmed);
    if (trimmed.isEmpty())
        return refuse(QStringLiteral("请设定目标路径!"));
    RunFolders folders;
    folders.target = platform::nativePath(trimmed);
    if (!m_services.fs.folderExists(folders.target))
        return refuse(QStringLiteral("目标路径不存在或不是文件夹!"));
    // The source box names the folder walked; left empty, the target is walked, as before.
    const QString source = normalizedTarget(m_text2->text());
    folders.source = source.isEmpty() ? folders.target : platform::nativePath(source);
    if (!m_services.fs.folderExists(folders.source))
        return refuse(QStringLiteral("源路径不存在或不是文件夹!"));
    const QString helper = m_services.programs.findExecutable(
        QDir(m_services.helperFolder).filePath(QString::fromLatin1(kExtractHelperName)));
    if (helper.isEmpty())
        return refuse(
            QStringLiteral("找不到反编译程序 %1,请重新安装Korvane。").arg(QString::fromLatin1(kExtractHelperName)));
    folders.helper = helper;
    return folders;
}

void Frmdecp::Command3_Click()
{
    if (m_run->isRunning())
        return;
    const std::optional<RunFolders> folders = runFolders();
    if (!folders)
        return;
    const QString helper = folders->helper;
    const platform::NativePath source = folders->source, target = folders->target;

    struct RunState {
        RunState(platform::Services& services, const QString& helperPath)
            : process(services.programs, services.fs, helperPath),
              run(services.fs, [this](const platform::NativePath& file, const platform::NativePath& folder,
                                      const QByteArray& project,
                                      quint64 size) { return process.extract(file, folder, project, size); })
        {}
        ExtractProcess process;
        DecompileRun run;
        QList<HelpFileOutcome> outcomes;
    };
    struct Result {
        QList<HelpFileOutcome> outcomes;
        qint64 found = 0;
        bool foldersLeft = false;
    };
    const ProjectKind kind = projectKindSetting(m_services.settings);
    const int helpers = DecompileRun::helpersForThisMachine();
    const bool subfolders = m_check1->isChecked();
    const bool projects = m_check3->isChecked();
    const bool started = m_run->start(
        QStringLiteral("正在反编译chm文件…"),
        [this, helper, kind, helpers, source, target, subfolders, projects](platform::RunControl& control) {
            RunState state(m_services, helper);
            state.run.setProjectKind(kind);
            state.run.setParallelHelpers(helpers);
            Result result;
            result.outcomes = state.run.run(source, target, subfolders, projects, &control);
            result.found = state.run.found();
            result.foldersLeft = state.run.foldersLeft();
            return result;
        },
        [this](const Result& result) {
            const QList<HelpFileOutcome>& outcomes = result.outcomes;
            if (m_run->stopped()) {
                const auto done = std::count_if(outcomes.cbegin(), outcomes.cend(),
                                                [](const HelpFileOutcome& outcome) { return !outcome.stopped; });
                m_services.messages.show(this, platform::cancelledText(done, result.found - done, result.foldersLeft),
                                         platform::MessageIcon::Information);
                return;
            }
            m_services.messages.showWithDetails(this, runSummary(outcomes), platform::MessageIcon::Information,
                                                runDetails(outcomes));
        });
    Q_ASSERT(started); // checked above
}

} // namespace korvane::helpdecompiler
