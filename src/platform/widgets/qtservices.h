#pragma once

#include "platform/localfilesystem.h"
#include "platform/qtprogramstarter.h"
#include "platform/services.h"

#include <memory>

class QSettings;

namespace korvane::platform {

class QtMessageBoxes final : public MessageBoxes {
public:
    void show(QWidget* parent, const QString& text, MessageIcon icon) override;
    void showWithDetails(QWidget* parent, const QString& text, MessageIcon icon, const QString& details) override;
};

class QtFolderChooser final : public FolderChooser {
public:
    QString chooseFolder(QWidget* parent, const QString& prompt) override;
};

class QtFileChooser final : public FileChooser {
public:
    QString openFile(QWidget* parent, const QString& filter) override;
    QString saveFile(QWidget* parent, const QString& filter) override;
};

class QtInputBox final : public InputBox {
public:
    QString ask(QWidget* parent, const QString& prompt, const QString& title, const QString& defaultText) override;
};

/// INI file per user under the program's base name (~/.config/korvane/korvane.ini).
class QtSettingsStore final : public SettingsStore {
public:
    explicit QtSettingsStore(const QString& applicationName);
    ~QtSettingsStore() override;
    QString value(const QString& section, const QString& key, const QString& defaultValue) override;
    void setValue(const QString& section, const QString& key, const QString& value) override;

private:
    std::unique_ptr<QSettings> m_settings;
};

class QtDesktop final : public Desktop {
public:
    void beep() override;
    void openUrl(const QUrl& url, std::function<void(const Status&)> answer) override;
};

/// Linux keeps no registry: every value is "not found".
class NoRegistry final : public Registry {
public:
    std::optional<RegistryValue> query(RegistryRoot, const QString&, const QString&) override { return std::nullopt; }
};

/// The real services of a running program.
class QtServices {
public:
    QtServices(const QString& applicationName, const QString& programFolder, const QString& helperFolder);
    ~QtServices();
    Services& services() { return m_services; }

private:
    QtMessageBoxes m_messages;
    QtFolderChooser m_folders;
    QtFileChooser m_files;
    QtInputBox m_input;
    QtSettingsStore m_settings;
    QtProgramStarter m_programs;
    QtDesktop m_desktop;
    LocalFileSystem m_fs;
    NoRegistry m_registry;
    Services m_services;
};

/// Installs Qt's own Simplified Chinese texts (standard buttons, file and folder choosers, the
/// input box) from Qt's translations folder. False when they are not installed.
bool installQtChineseTranslations();

} // namespace korvane::platform
