#include "batchlist/frmcompile.h"

#include "batchlist/compiler.h"
#include "platform/nativepath.h"
#include "platform/services.h"
#include "platform/widgets/clickablelabel.h"
#include "platform/widgets/dropfilter.h"
#include "platform/widgets/placement.h"

#include <QLineEdit>

namespace korvane::batchlist {

namespace {

BatchListConfig compileConfig()
{
    return {.objectName = QStringLiteral("frmCompile"),
            .caption = QStringLiteral("VB6工程批量编译"),
            .clientHeight = 8025,
            .extensions = QStringLiteral("vbp"),
            .fileFilter = QStringLiteral("工程文件|*.vbp|所有文件|*.*"),
            .label2 = QStringLiteral("提示:请输入想添加到编译列表的文件路径也可通过浏览找到文件"),
            .command1 = QStringLiteral("添加到编译列表"),
            .command3 = QStringLiteral("从编译列表删除"),
            .command2 = QStringLiteral("开始编译"),
            .label1 = QStringLiteral("请在下框设置VB6编译器(通常情况下是vb6.exe)的路径:"),
            .label1Width = 4695,
            .line1Top = 4800,
            .welcome = QStringLiteral("欢迎使用VB工程批量编译工具!"),
            .countSuffix = QStringLiteral("个工程文件等待编译"),
            .duplicateMessage = QStringLiteral("VB工程批量编译列表已存在相同项，请勿重复添加"),
            .emptyListMessage = QStringLiteral("列表为空,请先添加工程文件到列表!"),
            .logPrefix = QStringLiteral("编译工程 "),
            .topOffset = 0,
            .logOrder = LogOrder::CompThenLog,
            .announceCompletion = false};
}

} // namespace

frmCompile::frmCompile(platform::Services& services, QWidget* parent)
    : BatchListWindow(services, compileConfig(), parent), m_compile(m_services.fs, m_services.programs)
{
    m_text2 = platform::makeNamed<QLineEdit>(this, "Text2", defaultCompilerPath(), {120, 4200, 5295, 375});
    m_text2->setCursorPosition(0); // show the start of the path, not its end
    platform::takePathDrops(m_text2);
    m_image2 = makeBrowseImage("Image2", 5520, 4080, 480, 480);
    connect(m_image2, &platform::ClickableLabel::clicked, this, &frmCompile::Image2_Click);
    finishLoad({m_text2});
}

void frmCompile::Image2_Click()
{
    const QString chosen = m_services.files.openFile(this, QStringLiteral("可执行文件|*.exe|所有文件|*.*"));
    if (!chosen.isEmpty())
        m_text2->setText(chosen);
}

BatchRunHooks& frmCompile::runHooks()
{
    m_compile.compiler = trimSpaces(m_text2->text());
    m_compile.options.timeoutMs = compileTimeLimitSeconds(m_services.settings) * 1000;
    return m_compile;
}

} // namespace korvane::batchlist
