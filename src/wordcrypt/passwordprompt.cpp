#include "wordcrypt/passwordprompt.h"

#include "platform/interaction.h"
#include "platform/widgets/busycursor.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace korvane::wordcrypt {

namespace {

/// The dialog; nullopt when the user cancels or it cannot be shown on this thread.
std::optional<PasswordAnswer> ask(const QString& fileName, bool offer, bool again)
{
    // A widget made off the user-interface thread would crash the program: refuse, as a cancel.
    if (!platform::onUserInterfaceThread())
        return std::nullopt;
    // The run shows a busy cursor; the dialog wants the normal one.
    const platform::BusyCursor normal(Qt::ArrowCursor);
    QWidget* owner = platform::interactionOwner();
    QDialog dialog(owner ? owner : QApplication::activeWindow());
    dialog.setObjectName(QStringLiteral("passwordPrompt"));
    dialog.setWindowTitle(QStringLiteral("输入密码"));
    auto* layout = new QVBoxLayout(&dialog);
    const QString name = QFileInfo(fileName).fileName();
    auto* label = new QLabel((again ? QStringLiteral("记住的密码不能打开文档“%1”，请输入它的打开密码:\n%2")
                                    : QStringLiteral("文档“%1”受密码保护，请输入打开密码:\n%2"))
                                 .arg(name, fileName),
                             &dialog);
    layout->addWidget(label);
    auto* password = new QLineEdit(&dialog);
    password->setObjectName(QStringLiteral("password"));
    password->setEchoMode(QLineEdit::Password);
    password->setAttribute(Qt::WA_InputMethodEnabled, false); // what is typed is the password
    layout->addWidget(password);
    QCheckBox* forRemaining = nullptr;
    if (offer) {
        forRemaining = new QCheckBox(QtDocumentPasswordPrompt::forRemainingText(), &dialog);
        forRemaining->setObjectName(QStringLiteral("forRemaining"));
        layout->addWidget(forRemaining);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    password->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return PasswordAnswer{password->text(), forRemaining && forRemaining->isChecked()};
}

} // namespace

QString QtDocumentPasswordPrompt::forRemainingText()
{
    return QStringLiteral("列表中其余的文档也使用此密码");
}

std::optional<QString> QtDocumentPasswordPrompt::askPassword(const QString& fileName)
{
    const std::optional<PasswordAnswer> answer = ask(fileName, false, false);
    if (!answer)
        return std::nullopt;
    return answer->password;
}

std::optional<PasswordAnswer> QtDocumentPasswordPrompt::askForRun(const QString& fileName, bool again)
{
    return ask(fileName, true, again);
}

RunPasswordPrompt& productionPrompt()
{
    static QtDocumentPasswordPrompt dialog;
    static RunPasswordPrompt prompt(dialog);
    return prompt;
}

} // namespace korvane::wordcrypt
