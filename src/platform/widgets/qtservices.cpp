#include "platform/widgets/qtservices.h"

#include "platform/webopener.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QInputDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTextEdit>
#include <QTranslator>
#include <QTreeView>
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
    // A box as narrow as "没有记录!" leaves a window manager's title bar (openbox) no room for
    // the title: QMessageBox sizes itself from its layout, so the layout gets the width.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(
            new QSpacerItem(box.fontMetrics().averageCharWidth() * 40, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
            grid->rowCount(), 0, 1, grid->columnCount());
    // Qt labels the details button from its own catalogue ("显示详情..."), and again on every
    // press after any slot of ours has run; the box says it in Korvane's words, queued.
    auto* detailsText = box.findChild<QTextEdit*>();
    for (QAbstractButton* button : box.buttons()) {
        if (!detailsText || box.buttonRole(button) != QMessageBox::ActionRole)
            continue;
        button->setText(QStringLiteral("显示详细信息…")); // the details start folded
        // Qt's details button measures itself by its own labels, narrower than these.
        button->setMinimumWidth(QPushButton(QStringLiteral("隐藏详细信息…")).sizeHint().width());
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

namespace {

/// The type column of Qt's own file dialog: Qt's catalogue has no Chinese for these words.
class ChineseFileTypes : public QFileIconProvider {
public:
    QString type(const QFileInfo& info) const override
    {
        if (info.isRoot())
            return QStringLiteral("驱动器");
        if (info.isDir())
            return QStringLiteral("文件夹");
        if (info.isFile())
            return info.suffix().isEmpty() ? QStringLiteral("文件") : info.suffix() + QStringLiteral(" 文件");
        return QStringLiteral("未知");
    }
};

/// The dialog's folder model writes its dates in the session's locale (English under LANG=C);
/// Korvane speaks Chinese whatever the session, so the dates follow the default locale.
class ChineseFileDates : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == Qt::DisplayRole && index.column() == kDateColumn)
            if (const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel()))
                return QLocale().toString(files->lastModified(mapToSource(index)), QLocale::ShortFormat);
        return QIdentityProxyModel::data(index, role);
    }

private:
    static constexpr int kDateColumn = 3;
};

constexpr int kSizeColumn = 1; // of the folder model

/// Runs Qt's file dialog with the parts of its folder view Qt leaves in English; "" on cancel.
QString runFileDialog(QWidget* parent, const QString& caption, QFileDialog::FileMode mode,
                      QFileDialog::AcceptMode accept, const QString& filter, QFileDialog::Options options)
{
    QFileDialog dialog(parent, caption, QString(), filter);
    dialog.setFileMode(mode);
    dialog.setAcceptMode(accept);
    dialog.setOptions(options);
    ChineseFileTypes types;
    dialog.setIconProvider(&types);
    dialog.setProxyModel(new ChineseFileDates(&dialog));
    // Qt's default width of the size column elides "21.5 KiB" in a Chinese font to "21.…KiB".
    if (auto* details = dialog.findChild<QTreeView*>(QStringLiteral("treeView")))
        details->header()->setSectionResizeMode(kSizeColumn, QHeaderView::ResizeToContents);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

} // namespace

QString QtFolderChooser::chooseFolder(QWidget* parent, const QString& prompt)
{
    QString folder = runFileDialog(parent, prompt, QFileDialog::Directory, QFileDialog::AcceptOpen, QString(),
                                   QFileDialog::ShowDirsOnly);
    while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

QString QtFileChooser::openFile(QWidget* parent, const QString& filter)
{
    return runFileDialog(parent, QString(), QFileDialog::ExistingFile, QFileDialog::AcceptOpen, toQtFileFilter(filter),
                         {});
}

QString QtFileChooser::saveFile(QWidget* parent, const QString& filter)
{
    // No default extension: the name is used exactly as chosen. An existing file is replaced
    // without a question, as the callers expect.
    return runFileDialog(parent, QString(), QFileDialog::AnyFile, QFileDialog::AcceptSave, toQtFileFilter(filter),
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

void QtDesktop::openUrl(const QUrl& url, std::function<void(const Status&)> answer)
{
    openWebAddress(url, std::move(answer));
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
