#include "batchlist/frmcompile.h"

#include "batchlist/compiler.h"
#include "platform/clickablelabel.h"
#include "platform/nativepath.h"
#include "platform/placement.h"
#include "platform/services.h"

#include <QLineEdit>

namespace korvane::batchlist {

namespace {

BatchListConfig compileConfig()
{
    BatchListConfig c;
    c.objectName = QStringLiteral("frmCompile");
    c.caption = QStringLiteral("VB6工程批量编译");
    c.clientHeight = 8025;
    c.extensions = QStringLiteral("vbp");
    c.fileFilter = QStringLiteral("工程文件|*.vbp|所有文件|*.*");
    c.label2 = QStringLiteral("提示:请输入想添加到编译列表的文件路径也可通过浏览找到文件");
    c.command1 = QStringLiteral("添加到编译列表");
    c.command3 = QStringLiteral("从编译列表删除");
    c.command2 = QStringLiteral("开始编译");
    c.label1 = QStringLiteral("请在下框设置VB6编译器(通常情况下是vb6.exe)的路径:");
    c.label1Width = 4695;
    c.line1Top = 4800;
    c.welcome = QStringLiteral("欢迎使用VB工程批量编译工具!");
    c.countSuffix = QStringLiteral("个工程文件等待编译");
    c.duplicateMessage = QStringLiteral("VB工程批量编译列表已存在相同项，请勿重复添加");
    c.emptyListMessage = QStringLiteral("列表为空,请先添加工程文件到列表!");
    c.logPrefix = QStringLiteral("编译工程 ");
    c.topOffset = 0;
    c.logOrder = LogOrder::CompThenLog;
    c.announceCompletion = false;
    return c;
}

} // namespace

frmCompile::frmCompile(platform::Services& services, QWidget* parent)
    : BatchListWindow(services, compileConfig(), parent)
{
    Text2 = new QLineEdit(defaultCompilerPath(), this);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setCursorPosition(0); // show the start of the path, not its end
    platform::placeInTwips(Text2, 120, 4200, 5295, 375);
    Image2 = makeBrowseImage("Image2", 5520, 4080, 480, 480);
    connect(Image2, &platform::ClickableLabel::clicked, this, &frmCompile::Image2_Click);
    finishLoad({Text2});
}

void frmCompile::Image2_Click()
{
    const QString chosen = m_services.files.openFile(this, QStringLiteral("可执行文件|*.exe|所有文件|*.*"));
    if (!chosen.isEmpty())
        Text2->setText(chosen);
}

bool frmCompile::prepareRun()
{
    m_compiler = trimSpaces(Text2->text());
    if (m_compiler.isEmpty() || !m_services.fs.fileExists(platform::nativePath(m_compiler))) {
        m_services.messages.show(this, QStringLiteral("指定的编译器路径错误!"), platform::MessageIcon::Information);
        return false;
    }
    if (runsUnderWine(m_compiler)) {
        // Said once here rather than as one start failure per project.
        QString problem;
        if (m_services.programs.findExecutable(QStringLiteral("wine")).isEmpty())
            problem = QStringLiteral("找不到wine, 无法运行Windows编译器!");
        else if (const QString reason = wineRefusal(m_compiler); !reason.isEmpty())
            problem = QStringLiteral("编译器路径无法交给wine: ") + reason;
        if (!problem.isEmpty()) {
            m_services.messages.show(this, problem, platform::MessageIcon::Information);
            return false;
        }
    }
    return true;
}

QStringList frmCompile::comp(const BatchEntry& entry)
{
    // Arguments travel as UTF-8: a raw name in another encoding would reach the compiler altered.
    if (!platform::isValidUtf8(entry.path))
        return {QStringLiteral("编译器启动失败!工程路径含有无法传递的字符。")};
    if (runsUnderWine(m_compiler)) {
        if (const QString reason = wineRefusal(entry.text); !reason.isEmpty())
            return {QStringLiteral("编译器启动失败!") + reason};
    }
    const CompileCommand command = compileCommand(m_compiler, entry.text);
    const platform::StartOutcome outcome = m_services.programs.startDetached(command.program, command.arguments);
    if (!outcome.started)
        return {QStringLiteral("编译器启动失败!") + outcome.error};
    return {};
}

} // namespace korvane::batchlist
