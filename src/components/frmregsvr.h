#pragma once

#include <QWidget>

class QLineEdit;

namespace korvane::platform {
class BackgroundRun;
struct Services;
} // namespace korvane::platform

namespace korvane::components {

struct RegistrationRun;

/// "DLL,OCX批量注册工具": registers every dll and ocx file lying directly in one folder.
class Frmregsvr : public QWidget {
    Q_OBJECT
public:
    explicit Frmregsvr(platform::Services& services, QWidget* parent = nullptr);
    ~Frmregsvr() override;

    /// 选择一个目录注册: registers the libraries of a chosen folder.
    void Command1_Click();
    /// 当前目录注册: registers the libraries of the program's folder.
    void Command2_Click();
    /// 注册: registers the libraries of the folder typed into Text4 (also Enter in Text4).
    void Command5_Click();
    /// 关闭: closes the window.
    void Command3_Click();

private:
    /// The messages of one register button; an empty noFiles means the button stays silent.
    struct ButtonTexts {
        QString done;
        QString noFiles;
    };

    void Form_Load();
    void registerFolder(const QString& folder, const ButtonTexts& texts);
    /// The message that ends a registration run.
    void reportRun(const RegistrationRun& run, const ButtonTexts& texts);
    void say(const QString& text);

    platform::Services& m_services;
    platform::BackgroundRun* m_run;
    QLineEdit* m_text4 = nullptr; ///< the folder that 注册 registers
};

} // namespace korvane::components
