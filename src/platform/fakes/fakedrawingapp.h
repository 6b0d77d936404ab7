#pragma once

#include "platform/drawingapp.h"

#include <QHash>
#include <QStringList>
#include <functional>

namespace korvane::platform {

/// A drawing application in memory. It keeps the Documents collection and the active drawing,
/// raises EndOpen, EndSave and BeginQuit inside the calls that cause them (so handlers nest as
/// with the real application), records every call and event with its arguments (indented by
/// nesting depth), and fails any call on request.
class FakeDrawingAutomation final : public DrawingAutomation {
public:
    FakeDrawingAutomation();
    ~FakeDrawingAutomation() override;

    /// One record per call or event: "Open(/d/a.dwg, ReadOnly=false)", "  EndOpen(/d/a.dwg)", ...
    /// Two spaces of indentation per enclosing call.
    QStringList log;

    /// What a drawing file holds after the application wrote it.
    struct SavedDrawing {
        int saves = 0;
        bool encrypted = false; ///< Action 1 with a non-empty password
        QString password;
        int algorithm = 0;
        int keyLength = 0;
        QString providerName;
        int providerType = 0;
    };
    QHash<QString, SavedDrawing> files;

    bool running = false; ///< an application is running and can be bound to
    /// Starts an application outside the window, as a user would, so that binding finds it.
    void launch();
    bool canCreate = true; ///< create succeeds (else fails with createError)
    QString createError = QStringLiteral("ActiveX 部件不能创建对象");
    int created = 0;

    /// Makes `member` fail ("Open", "SaveAs", "Close", "Active", "Documents", "ActiveDocument",
    /// "Quit", "Visible", "GetInterfaceObject", "bind", "create", or a security parameter such as
    /// "Password"), for every argument or only for the file name `argument`.
    void failOn(const QString& member, const QString& argument = {});
    static QString errorFor(const QString& member) { return member + QStringLiteral(" 出错"); }

    /// The records that are calls or events of one member, without indentation.
    QStringList calls(const QString& member) const;

    Result<std::shared_ptr<DrawingApplication>> bindByPathName(const QString& pathName) override;
    Result<std::shared_ptr<DrawingApplication>> create(const QString& className) override;

    // Used by the fake's objects.
    struct State;
    State& state() { return *m_state; }

private:
    std::shared_ptr<State> m_state;
    std::shared_ptr<DrawingApplication> m_app;
};

} // namespace korvane::platform
