#include "wordcrypt/passwordprompt.h"

#include "platform/interaction.h"
#include "platform/widgets/busycursor.h"
#include "wordcrypt/nativeword.h"

#include <QApplication>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>

namespace korvane::wordcrypt {

std::optional<QString> QtDocumentPasswordPrompt::askPassword(const QString& fileName)
{
    // A widget made off the user-interface thread would crash the program: refuse, as a cancel.
    if (!platform::onUserInterfaceThread())
        return std::nullopt;
    // The run shows a busy cursor; the dialog wants the normal one.
    const platform::BusyCursor normal(Qt::ArrowCursor);
    QWidget* owner = platform::interactionOwner();
    bool ok = false;
    const QString password = QInputDialog::getText(
        owner ? owner : QApplication::activeWindow(), QStringLiteral("输入密码"),
        QStringLiteral("文档“%1”受密码保护，请输入打开密码:\n%2").arg(QFileInfo(fileName).fileName(), fileName),
        QLineEdit::Password, QString(), &ok);
    if (!ok)
        return std::nullopt;
    return password;
}

platform::WordAutomation& productionWord(const QString& helperFolder)
{
    static QtDocumentPasswordPrompt prompt;
    static DocumentWord word({LibreOfficeWord::defaultHelper(helperFolder), {}}, prompt);
    return word;
}

} // namespace korvane::wordcrypt
