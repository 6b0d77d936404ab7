#include "wordcrypt/frmjmword.h"

#include "platform/runcontrol.h"
#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/placement.h"
#include "wordcrypt/documentpasswords.h"
#include "wordcrypt/worddocfile.h"

#include <QLabel>
#include <QLineEdit>

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

WordEncryptRun::WordEncryptRun(platform::WordAutomation& word, platform::MessageBoxes& messages, QWidget* owner)
    : m_word(word), m_messages(messages), m_owner(owner)
{}

WordEncryptRun::~WordEncryptRun()
{
    release();
}

frmjmword::frmjmword(platform::Services& services, platform::WordAutomation& word, QWidget* parent)
    : BatchListWindow(services, wordConfig(), parent), m_encrypt(word, m_services.messages, this)
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
}

void WordEncryptRun::release()
{
    // Dropping the last reference ends the office; no event may reach a window going away.
    if (wordapp)
        wordapp->setEvents(nullptr);
    wordapp.reset();
}

void WordEncryptRun::init()
{
    release(); // a new run replaces (and so ends) what an earlier run left behind
    platform::Result<std::shared_ptr<platform::WordApplication>> app = m_word.getObject(kApplicationClass);
    if (!app)
        app = m_word.createObject(kApplicationClass);
    if (!app) {
        m_messages.show(m_owner, app.status().message(), platform::MessageIcon::None);
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
    m_encrypt.settings = {m_text2->text(), m_text4->text()};
}

void frmjmword::setRunControl(platform::RunControl* control)
{
    m_encrypt.setRunControl(control);
}

void WordEncryptRun::setRunControl(platform::RunControl* control)
{
    m_word.setRunControl(control);
}

batchlist::BatchRunHooks& frmjmword::runHooks()
{
    captureRunSettings();
    return m_encrypt;
}

void frmjmword::runControlChanged(platform::RunControl* control)
{
    setRunControl(control);
}

bool WordEncryptRun::beforeListCheck(batchlist::BatchRunContext& run)
{
    // Checked before the office starts, so no document is touched by a run that cannot succeed.
    if (settings.password.size() > kMaxPasswordLength || settings.writePassword.size() > kMaxPasswordLength) {
        run.say(frmjmword::passwordTooLongText(), platform::MessageIcon::None);
        return false;
    }
    init();
    if (!wordapp)
        return false;
    wordapp->setVisible(false); // the office runs headless; a failure here changes nothing
    return true;
}

bool WordEncryptRun::prepareRun(batchlist::BatchRunContext& run, const std::vector<batchlist::BatchEntry>&)
{
    m_failedDocuments = 0;
    if (!m_noteShown) {
        m_noteShown = true;
        run.info.append(frmjmword::exportNoteText());
    }
    return true;
}

QStringList WordEncryptRun::comp(batchlist::BatchRunContext& run, const batchlist::BatchEntry& entry)
{
    m_failures.clear();
    Status opened = Status::failure(platform::ErrorKind::Cancelled, QStringLiteral("LibreOffice 已退出"));
    // Bounded: a document that can never be opened must not stop the run.
    for (int attempt = 0; attempt < frmjmword::kOpenAttempts && wordapp; ++attempt) {
        std::shared_ptr<platform::WordApplication> app = wordapp;
        opened = app->open(entry.path, false);
        if (!platform::retryHelps(opened))
            break;
    }
    if (!opened.ok())
        m_failures << QStringLiteral("  打开文档失败: ") + opened.message();
    // A document given up because of a stop is counted among those not processed, not failed.
    if (!m_failures.isEmpty() && !run.control.stopRequested())
        ++m_failedDocuments;
    return std::exchange(m_failures, {});
}

void WordEncryptRun::wordapp_DocumentOpen(platform::WordDocument& document)
{
    m_failures << applyPasswords(document, settings.password, settings.writePassword);
}

void WordEncryptRun::wordapp_Quit()
{
    // Runs inside Quit: whoever called it still holds the object until the call returns.
    wordapp.reset();
}

void WordEncryptRun::completeRun(batchlist::BatchRunContext& run, const std::vector<batchlist::BatchEntry>&)
{
    quit();
    if (m_failedDocuments > 0)
        run.afterRun << frmjmword::unprocessedText(m_failedDocuments); // after the frame's end line
}

void WordEncryptRun::quit()
{
    // Errors are ignored: after a completed run there is nothing left to quit.
    if (std::shared_ptr<platform::WordApplication> app = wordapp)
        app->quit();
    release();
}

void frmjmword::Form_Unload()
{
    m_encrypt.quit();
}

QString frmjmword::runAction() const
{
    // Both boxes empty: the run removes the passwords.
    return m_text2->text().isEmpty() && m_text4->text().isEmpty() ? QStringLiteral("正在解密文档…")
                                                                  : BatchListWindow::runAction();
}

} // namespace korvane::wordcrypt
