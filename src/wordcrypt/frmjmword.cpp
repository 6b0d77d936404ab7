#include "wordcrypt/frmjmword.h"

#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/busycursor.h"
#include "platform/widgets/placement.h"
#include "wordcrypt/documentpasswords.h"
#include "wordcrypt/worddocfile.h"

#include <QLabel>
#include <QLineEdit>
#include <QThread>
#include <optional>

namespace korvane::wordcrypt {

using platform::Status;

namespace {

const QString kApplicationClass = QStringLiteral("word.Application");

batchlist::BatchListConfig wordConfig()
{
    batchlist::BatchListConfig c = batchlist::encryptorConfig();
    c.objectName = QStringLiteral("frmjmword");
    c.caption = QStringLiteral("Word文件批量加密");
    c.clientHeight = 8670;
    c.extensions = QStringLiteral("doc");
    c.fileFilter = QStringLiteral("Word文档|*.doc|所有文件|*.*");
    c.label1 = QStringLiteral("提示:要正常使用本工具,必须确认已安装Word.");
    c.line1Top = 5160;
    c.welcome = QStringLiteral("欢迎使用Word文档批量加密工具!");
    c.duplicateMessage = QStringLiteral("批量加密列表已存在相同项，请勿重复添加");
    c.logOrder = batchlist::LogOrder::LogThenComp;
    return c;
}

} // namespace

frmjmword::frmjmword(platform::Services& services, platform::WordAutomation& word, QWidget* parent)
    : BatchListWindow(services, wordConfig(), parent), m_word(word)
{
    m_label6 = makeLabel("Label6", QStringLiteral("加密使用的密码:"), 120, 4335, 1335, 255);
    m_label5 = makeLabel("Label5", QStringLiteral("(要批量解密只需保持密码框为空)"), 1680, 4335, 5175, 255,
                         QColor(192, 0, 192));
    m_label7 = makeLabel("Label7", QStringLiteral("读密码:"), 240, 4680, 735, 255);
    m_text2 = makePasswordBox("Text2", QStringLiteral("739"), 960, 4672, 1215, 270);
    m_label8 = makeLabel("Label8", QStringLiteral("写密码:"), 3000, 4680, 735, 255);
    m_text4 = makePasswordBox("Text4", QStringLiteral("7591"), 3840, 4672, 1215, 270);
    finishLoad({m_label6, m_label5, m_label7, m_text2, m_label8, m_text4});
}

frmjmword::~frmjmword()
{
    m_run->stopAndWait(); // the job uses members that go before the run object
    release();
}

void frmjmword::release()
{
    // Dropping the last reference ends the office; no event may reach a window going away.
    if (wordapp)
        wordapp->setEvents(nullptr);
    wordapp.reset();
}

void frmjmword::init()
{
    release(); // a new run replaces (and so ends) what an earlier run left behind
    platform::Result<std::shared_ptr<platform::WordApplication>> app = m_word.getObject(kApplicationClass);
    if (!app)
        app = m_word.createObject(kApplicationClass);
    if (!app) {
        m_services.messages.show(this, app.status().message(), platform::MessageIcon::None);
        return;
    }
    wordapp = std::move(app).value();
    wordapp->setEvents(this);
}

QString frmjmword::passwordTooLongText()
{
    return QStringLiteral("密码不能超过15个字符");
}

QString frmjmword::exportNoteText()
{
    return QStringLiteral("提示:文档由 LibreOffice 按 Word 97-2003 格式重新保存,"
                          "LibreOffice 不能保留的内容可能会改变。");
}

QString frmjmword::unprocessedText(int failed)
{
    return QStringLiteral("其中 %1 个文档未能处理,见上").arg(failed);
}

void frmjmword::captureRunSettings()
{
    m_settings = {m_text2->text(), m_text4->text()};
}

void frmjmword::setRunControl(platform::RunControl* control)
{
    m_word.setRunControl(control);
}

void frmjmword::runControlChanged(platform::RunControl* control)
{
    m_runControl = control;
    if (control)
        captureRunSettings();
    setRunControl(control);
}

bool frmjmword::beforeListCheck()
{
    const bool onUiThread = QThread::currentThread() == thread();
    if (onUiThread)
        captureRunSettings();
    // Checked before the office starts, so no document is touched by a run that cannot succeed.
    if (m_settings.password.size() > kMaxPasswordLength || m_settings.writePassword.size() > kMaxPasswordLength) {
        m_services.messages.show(this, passwordTooLongText(), platform::MessageIcon::None);
        return false;
    }
    {
        // Starting the office takes a moment.
        std::optional<platform::BusyCursor> busy;
        if (onUiThread)
            busy.emplace();
        init();
    }
    if (!wordapp)
        return false;
    wordapp->setVisible(false); // the office runs headless; a failure here changes nothing
    return true;
}

bool frmjmword::prepareRun()
{
    m_failedDocuments = 0;
    if (!m_noteShown) {
        m_noteShown = true;
        appendInfo(exportNoteText());
    }
    return true;
}

QStringList frmjmword::comp(const batchlist::BatchEntry& entry)
{
    m_failures.clear();
    Status opened = Status::failure(platform::ErrorKind::Cancelled, QStringLiteral("LibreOffice 已退出"));
    // Bounded: a document that can never be opened must not stop the run.
    for (int attempt = 0; attempt < kOpenAttempts && wordapp; ++attempt) {
        std::shared_ptr<platform::WordApplication> app = wordapp;
        opened = app->open(entry.path, false);
        if (!platform::retryHelps(opened))
            break;
    }
    if (!opened.ok())
        m_failures << QStringLiteral("  打开文档失败: ") + opened.message();
    // A document given up because of a stop is counted among those not processed, not failed.
    if (!m_failures.isEmpty() && !(m_runControl && m_runControl->stopRequested()))
        ++m_failedDocuments;
    return std::exchange(m_failures, {});
}

void frmjmword::wordapp_DocumentOpen(platform::WordDocument& document)
{
    m_failures << applyPasswords(document, m_settings.password, m_settings.writePassword);
}

void frmjmword::wordapp_Quit()
{
    // Runs inside Quit: whoever called it still holds the object until the call returns.
    wordapp.reset();
}

void frmjmword::completeRun(const std::vector<batchlist::BatchEntry>&)
{
    if (std::shared_ptr<platform::WordApplication> app = wordapp)
        app->quit();
    release();
    if (m_failedDocuments > 0)
        appendInfoAfterRun(unprocessedText(m_failedDocuments)); // after the frame's end line
}

void frmjmword::Form_Unload()
{
    // Errors are ignored: after a completed run there is nothing left to quit.
    if (std::shared_ptr<platform::WordApplication> app = wordapp)
        app->quit();
    release();
}

QString frmjmword::runAction() const
{
    // Both boxes empty: the run removes the passwords.
    return m_text2->text().isEmpty() && m_text4->text().isEmpty() ? QStringLiteral("正在解密文档…")
                                                                  : BatchListWindow::runAction();
}

} // namespace korvane::wordcrypt
