#include "platform/qtservices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSettings>
#include <QTextEdit>
#include <QTranslator>
#include <QUrl>

namespace korvane::platform {

void QtMessageBoxes::show(QWidget* parent, const QString& text, MessageIcon icon)
{
    showWithDetails(parent, text, icon, QString());
}

void QtMessageBoxes::showWithDetails(QWidget* parent, const QString& text, MessageIcon icon, const QString& details)
{
    QMessageBox box(icon == MessageIcon::Information ? QMessageBox::Information : QMessageBox::NoIcon,
                    QStringLiteral("Korvane"), text, QMessageBox::Ok, parent);
    box.setDetailedText(details);
    // Qt labels the details button from its own catalogue ("显示详情..."), and again on every
    // press after any slot of ours has run; the box says it in Korvane's words, queued.
    auto* detailsText = box.findChild<QTextEdit*>();
    for (QAbstractButton* button : box.buttons()) {
        if (!detailsText || box.buttonRole(button) != QMessageBox::ActionRole)
            continue;
        button->setText(QStringLiteral("显示详细信息…")); // the details start folded
        QObject::connect(
            button, &QAbstractButton::clicked, &box,
            [button, detailsText] {
                button->setText(detailsText->isHidden() ? QStringLiteral("显示详细信息…")
                                                        : QStringLiteral("隐藏详细信息…"));
            },
            Qt::QueuedConnection);
    }
    box.exec();
}

QString QtFolderChooser::chooseFolder(QWidget* parent, const QString& prompt)
{
    QString folder = QFileDialog::getExistingDirectory(parent, prompt, QString(), QFileDialog::ShowDirsOnly);
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

QString QtFileChooser::openFile(QWidget* parent, const QString& filter)
{
    return QFileDialog::getOpenFileName(parent, QString(), QString(), toQtFileFilter(filter));
}

QString QtFileChooser::saveFile(QWidget* parent, const QString& filter)
{
    // No default extension: the name is used exactly as chosen. An existing file is replaced
    // without a question, as the callers expect.
    return QFileDialog::getSaveFileName(parent, QString(), QString(), toQtFileFilter(filter), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

QString QtInputBox::ask(QWidget* parent, const QString& prompt, const QString& title, const QString& defaultText)
{
    bool ok = false;
    const QString text = QInputDialog::getText(parent, title.isEmpty() ? QStringLiteral("Korvane") : title, prompt,
                                               QLineEdit::Normal, defaultText, &ok);
    return ok ? text : QString();
}

QtSettingsStore::QtSettingsStore(const QString& applicationName)
    : m_settings(
          std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, applicationName, applicationName))
{}

QtSettingsStore::~QtSettingsStore() = default;

QString QtSettingsStore::value(const QString& section, const QString& key, const QString& defaultValue)
{
    return m_settings->value(section + QLatin1Char('/') + key, defaultValue).toString();
}

void QtSettingsStore::setValue(const QString& section, const QString& key, const QString& value)
{
    m_settings->setValue(section + QLatin1Char('/') + key, value);
    m_settings->sync();
}

void QtDesktop::beep()
{
    QApplication::beep();
}

bool QtDesktop::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

QtServices::QtServices(const QString& applicationName, const QString& programFolder, const QString& helperFolder)
    : m_settings(applicationName), m_services{m_messages, m_folders,     m_files,   m_input,
                                              m_settings, m_programs,    m_desktop, m_fs,
                                              m_registry, programFolder, nullptr,   helperFolder}
{}

QtServices::~QtServices() = default;

bool installQtChineseTranslations()
{
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

} // namespace korvane::platform
