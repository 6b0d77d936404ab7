#pragma once

#include <QDialog>

namespace korvane::platform {
struct Services;
}

namespace korvane::helpwindows {

/// The address opened by the "我的博客" link.
extern const char* const kAuthorPage;

/// "关于 Korvane": title, version, description, the web-page link and system information.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(platform::Services& services, QWidget* parent = nullptr);

    /// 系统信息: starts the system information program or says that it is not available.
    void StartSysInfo();

private:
    void Form_Load();
    /// 我的博客: opens the web page.
    void Label2_Click();

    platform::Services& m_services;
};

} // namespace korvane::helpwindows
