#include "wordcrypt/frmjmword.h"

#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/placement.h"

#include <QLabel>
#include <QLineEdit>

namespace korvane::wordcrypt {

using platform::Status;

namespace {

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

frmjmword::frmjmword(platform::Services& services, platform::WordAutomation& word, RunPasswordPrompt& prompt,
                     QWidget* parent)
    : BatchListWindow(services, wordConfig(), parent), m_word(word), m_encrypt(word, prompt)
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

void frmjmword::captureRunSettings()
{
    QList<platform::NativePath> documents;
    for (const batchlist::BatchEntry& entry : batchList().entries())
        documents << batchlist::trimmed(entry).path;
    m_encrypt.settings = {m_text2->text(), m_text4->text(), documents};
}

void frmjmword::setRunControl(platform::RunControl* control)
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
    m_outcomes.clear();
    batchlist::InfoSink& info = run.info;
    const Status started = m_engine.start(settings, run.control, [&info](const QString& line) { info.append(line); });
    if (!started.ok()) {
        run.say(started.message(), platform::MessageIcon::None);
        return false;
    }
    return true;
}

bool WordEncryptRun::prepareRun(batchlist::BatchRunContext&, const std::vector<batchlist::BatchEntry>&)
{
    m_engine.beginDocuments();
    return true;
}

QStringList WordEncryptRun::comp(batchlist::BatchRunContext& run, const batchlist::BatchEntry& entry)
{
    DocumentOutcome outcome = m_engine.comp(entry.path);
    for (const QString& note : outcome.notes)
        run.info.append(note);
    QStringList lines = outcome.failures;
    m_outcomes.push_back(std::move(outcome));
    return lines;
}

void WordEncryptRun::completeRun(batchlist::BatchRunContext& run, const std::vector<batchlist::BatchEntry>&)
{
    m_engine.finish();
    // The documents not processed, named in a box after the end line.
    run.endBox = {failedDocumentsText(m_outcomes), failedDocumentsDetails(m_outcomes)};
    m_outcomes.clear();
}

void frmjmword::Form_Unload()
{
    m_encrypt.unload();
}

QString frmjmword::runAction() const
{
    // Both boxes empty: the run removes the passwords.
    return m_text2->text().isEmpty() && m_text4->text().isEmpty() ? QStringLiteral("正在解密文档…")
                                                                  : BatchListWindow::runAction();
}

} // namespace korvane::wordcrypt
