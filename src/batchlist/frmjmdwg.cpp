#include "batchlist/frmjmdwg.h"

#include "dwgformat/dwgheader.h"
#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/placement.h"

#include <QLabel>
#include <QLineEdit>
#include <algorithm>

namespace korvane::batchlist {

using platform::MessageIcon;
using platform::Status;

namespace {

const QString kApplication = QStringLiteral("AutoCAD.Application");

BatchListConfig drawingConfig()
{
    BatchListConfig c = encryptorConfig();
    c.objectName = QStringLiteral("frmjmdwg");
    c.caption = QStringLiteral("DWG文件批量加密");
    c.clientHeight = 8025;
    c.extensions = QStringLiteral("dwg");
    c.fileFilter = QStringLiteral("AutoCAD文档|*.dwg|所有文件|*.*");
    c.label1 = QStringLiteral("提示:要正常使用本工具,必须确认已安装AutoCAD 2000以上版本.");
    c.line1Top = 4800;
    c.welcome = QStringLiteral("欢迎使AutoCAD图纸文档批量加密工具!");
    c.duplicateMessage = QStringLiteral("要加密文件列表已存在相同项，请勿重复添加!");
    c.logOrder = LogOrder::CompThenLog;
    return c;
}

QString failureLine(const QString& what, const Status& status)
{
    return what + status.message();
}

} // namespace

DrawingEncryptRun::DrawingEncryptRun(platform::DrawingAutomation& automation, platform::FileSystem& fs,
                                     platform::MessageBoxes& messages, QWidget* owner)
    : m_automation(automation), m_fs(fs), m_messages(messages), m_owner(owner)
{}

DrawingEncryptRun::~DrawingEncryptRun()
{
    if (ACADApp)
        ACADApp->setEventSink(nullptr); // the application may outlive the window
}

frmjmdwg::frmjmdwg(platform::Services& services, platform::DrawingAutomation& automation, QWidget* parent)
    : BatchListWindow(services, drawingConfig(), parent),
      m_encrypt(automation, m_services.fs, m_services.messages, this)
{
    m_label6 = makeLabel("Label6", QStringLiteral("加密使用的密码:"), 120, 4440, 1335, 255);
    m_text2 = makePasswordBox("Text2", QStringLiteral("739"), 1680, 4432, 1215, 270);
    m_label5 = makeLabel("Label5", QStringLiteral("(要批量解密只需保持密码框为空)"), 3120, 4440, 5175, 255,
                         QColor(192, 0, 192));
    finishLoad({m_text2});
}

frmjmdwg::~frmjmdwg()
{
    m_run->stopAndWait(); // the job uses members that go before the run object
}

void DrawingEncryptRun::setApplication(std::shared_ptr<platform::DrawingApplication> app)
{
    if (ACADApp)
        ACADApp->setEventSink(nullptr);
    ACADApp = std::move(app);
    if (ACADApp)
        ACADApp->setEventSink(this);
}

void DrawingEncryptRun::init(const std::vector<BatchEntry>& listed)
{
    auto bound = m_automation.bindByPathName(kApplication);
    if (bound.ok() && *bound) {
        setApplication(*bound);
        return;
    }
    auto created = m_automation.create(kApplication);
    if (created.ok() && *created) {
        setApplication(*created);
        return;
    }
    setApplication(nullptr);
    // The box keeps its text; its details tell which listed drawings carry a password.
    m_messages.showWithDetails(m_owner, created.status().message(), MessageIcon::None,
                               dwgformat::passwordReportFor(listed));
}

bool DrawingEncryptRun::abandon(const Status& status)
{
    // Saving on with half-set parameters could write drawings without the password asked for.
    m_messages.show(m_owner, status.message(), MessageIcon::None);
    if (ACADApp)
        (void)ACADApp->quit();
    setApplication(nullptr);
    m_securityParams.reset();
    return false;
}

bool DrawingEncryptRun::prepareRun(BatchRunContext&, const std::vector<BatchEntry>& entries)
{
    init(entries);
    if (!ACADApp)
        return false;
    auto params = ACADApp->GetInterfaceObject(QStringLiteral("AutoCAD.SecurityParams.16"));
    if (!params.ok() || !*params)
        return abandon(params.status());
    m_securityParams = *params;
    (void)ACADApp->setVisible(false); // a visible application still does the work
    platform::DrawingSecurityParams& p = *m_securityParams;
    for (const Status& status :
         {p.setAction(1), p.setAlgorithm(0x6801), p.setKeyLength(40), p.setPassword(password),
          p.setProviderName(QStringLiteral("Microsoft Base Cryptographic Provider v1.0")), p.setProviderType(1)}) {
        if (!status.ok())
            return abandon(status);
    }
    m_savedEntries.clear();
    unsaved.clear();
    return true;
}

QStringList DrawingEncryptRun::comp(BatchRunContext&, const BatchEntry& entry)
{
    m_failures.clear();
    m_saved = false;
    const Status opened =
        ACADApp ? ACADApp->open(entry.text, false) : platform::drawingFailure(QStringLiteral("AutoCAD已经退出"));
    if (!opened.ok())
        m_failures << failureLine(QStringLiteral("打开图纸失败!"), opened);
    m_savedEntries.push_back(m_saved);
    if (!m_saved)
        unsaved.push_back({entry.text, m_failures});
    return std::exchange(m_failures, {});
}

void DrawingEncryptRun::ACADApp_EndOpen(const QString& fileName)
{
    if (!ACADApp || !m_securityParams)
        return; // an open that is none of this window's runs
    auto document = ACADApp->activeDocument();
    Status status = document.status();
    if (status.ok())
        status = (*document)->saveAs(fileName, *m_securityParams);
    if (status.ok())
        m_saved = true;
    else
        m_failures << failureLine(QStringLiteral("保存图纸失败!"), status);
}

void DrawingEncryptRun::closeDrawings(bool keepActive)
{
    if (!ACADApp)
        return;
    auto documents = ACADApp->documents();
    if (!documents.ok()) {
        m_failures << failureLine(QStringLiteral("关闭图纸失败!"), documents.status());
        return;
    }
    for (const auto& document : *documents) {
        if (keepActive) {
            auto active = document->active();
            if (!active.ok()) {
                // A drawing closed by a nested handler meanwhile is simply gone.
                continue;
            }
            if (*active)
                continue;
        }
        const Status closed = document->close(true);
        if (!closed.ok())
            m_failures << failureLine(QStringLiteral("关闭图纸失败!"), closed);
    }
}

void DrawingEncryptRun::ACADApp_EndSave(const QString& fileName)
{
    Q_UNUSED(fileName);
    closeDrawings(true);
}

void DrawingEncryptRun::ACADApp_BeginQuit(bool& cancel)
{
    Q_UNUSED(cancel); // left as it is: the application goes on quitting
    closeDrawings(false);
}

void DrawingEncryptRun::completeRun(BatchRunContext& run, const std::vector<BatchEntry>& entries)
{
    m_failures.clear();
    if (ACADApp) {
        const Status quit = ACADApp->quit();
        if (!quit.ok())
            m_failures << failureLine(QStringLiteral("退出AutoCAD失败!"), quit);
    }
    setApplication(nullptr);
    m_securityParams.reset();
    for (const QString& line : std::exchange(m_failures, {}))
        run.info.append(line);

    // Only the backup of a drawing saved in this run goes: never a typed notes.txt's notes.bak.
    for (size_t i = 0; i < entries.size() && i < m_savedEntries.size(); ++i) {
        const BatchEntry& entry = entries[i];
        if (!m_savedEntries[i] || !entry.text.endsWith(QLatin1String("dwg"), Qt::CaseInsensitive))
            continue;
        const platform::NativePath backup = entry.path.chopped(3) + "bak";
        if (m_fs.fileExists(backup))
            (void)m_fs.deleteFile(backup, false); // failures are ignored
    }
    m_savedEntries.clear();
}

void DrawingEncryptRun::quit()
{
    // Errors are ignored: with no application held there is nothing to tell.
    if (ACADApp)
        (void)ACADApp->quit();
    setApplication(nullptr);
}

void frmjmdwg::init()
{
    std::vector<BatchEntry> listed;
    for (const BatchEntry& entry : batchList().entries())
        listed.push_back(trimmed(entry));
    m_encrypt.init(listed);
}

void frmjmdwg::runControlChanged(platform::RunControl* control)
{
    // Queued: the frame writes the end line after this call, and the box follows it.
    if (!control)
        QMetaObject::invokeMethod(this, &frmjmdwg::reportUnsaved, Qt::QueuedConnection);
}

void frmjmdwg::reportUnsaved()
{
    const auto unsaved = std::exchange(m_encrypt.unsaved, {});
    if (unsaved.empty())
        return;
    constexpr size_t kShown = 12;
    QStringList names;
    QStringList details;
    for (const auto& [name, failures] : unsaved) {
        if (size_t(names.size()) < kShown)
            names << name;
        details << name;
        for (const QString& line : failures)
            details << QStringLiteral("  ") + line;
    }
    if (unsaved.size() > kShown)
        names << QStringLiteral("……另有 %1 个图纸").arg(unsaved.size() - kShown);
    m_services.messages.showWithDetails(
        this, QStringLiteral("图纸加密已结束,但以下 %1 个图纸未能保存:\n\n").arg(unsaved.size()) + names.join(u'\n'),
        MessageIcon::Information, details.join(u'\n'));
}

BatchRunHooks& frmjmdwg::runHooks()
{
    m_encrypt.password = m_text2->text();
    return m_encrypt;
}

void frmjmdwg::Form_Unload()
{
    m_encrypt.quit();
}

QString frmjmdwg::runAction() const
{
    // Both boxes empty: the run removes the passwords.
    return m_text2->text().isEmpty() ? QStringLiteral("正在解密文档…") : BatchListWindow::runAction();
}

} // namespace korvane::batchlist
