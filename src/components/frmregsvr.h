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

    void Command1_Click();
    void Command2_Click();
    void Command5_Click();
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
    QLineEdit* m_text4 = nullptr;
};

} // namespace korvane::components
