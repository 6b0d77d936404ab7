#pragma once

#include "platform/status.h"

#include <QList>
#include <QString>
#include <memory>

namespace korvane::platform {

/// A failure raised by the drawing application: its own description is the message.
inline Status drawingFailure(QString description)
{
    return Status::failure(ErrorKind::Failed, std::move(description));
}

/// The security parameters object ("AutoCAD.SecurityParams.16"); each property set may fail.
class DrawingSecurityParams {
public:
    virtual ~DrawingSecurityParams() = default;
    virtual Status setAction(int action) = 0;
    virtual Status setAlgorithm(int algorithm) = 0;
    virtual Status setKeyLength(int bits) = 0;
    virtual Status setPassword(const QString& password) = 0;
    virtual Status setProviderName(const QString& name) = 0;
    virtual Status setProviderType(int type) = 0;
};

/// One open drawing.
class DrawingDocument {
public:
    virtual ~DrawingDocument() = default;
    /// True for the active drawing only.
    virtual Result<bool> active() = 0;
    /// Writes the drawing to `fileName` with the parameters (FileType omitted); raises EndSave.
    virtual Status saveAs(const QString& fileName, DrawingSecurityParams& params) = 0;
    /// Closes the drawing (FileName omitted); with saveChanges it is saved first, which may raise EndSave.
    virtual Status close(bool saveChanges) = 0;
};

/// Events of the application, delivered synchronously inside the call that causes them:
/// EndOpen inside Documents.Open, EndSave inside SaveAs and inside Close with saving,
/// BeginQuit inside Quit.
class DrawingAppEvents {
public:
    virtual ~DrawingAppEvents() = default;
    virtual void EndOpen(const QString& fileName) = 0;
    virtual void EndSave(const QString& fileName) = 0;
    virtual void BeginQuit(bool& cancel) = 0;
};

/// The application object ("AutoCAD.Application").
class DrawingApplication {
public:
    virtual ~DrawingApplication() = default;
    /// Who receives the events while the window holds the object; null stops them.
    virtual void setEventSink(DrawingAppEvents* sink) = 0;
    /// A new object of the application by its name, e.g. "AutoCAD.SecurityParams.16".
    virtual Result<std::shared_ptr<DrawingSecurityParams>> GetInterfaceObject(const QString& progId) = 0;
    virtual Status setVisible(bool visible) = 0;
    /// Documents.Open with Name and ReadOnly, Password omitted. Raises EndOpen before it returns.
    virtual Status open(const QString& name, bool readOnly) = 0;
    /// The drawings open now, in the order of the Documents collection.
    virtual Result<QList<std::shared_ptr<DrawingDocument>>> documents() = 0;
    virtual Result<std::shared_ptr<DrawingDocument>> activeDocument() = 0;
    /// Raises BeginQuit and ends the application; later calls fail.
    virtual Status quit() = 0;
};

/// How a window obtains the application: by binding to a running one through its path name,
/// or by creating a new one from its class name.
class DrawingAutomation {
public:
    virtual ~DrawingAutomation() = default;
    virtual Result<std::shared_ptr<DrawingApplication>> bindByPathName(const QString& pathName) = 0;
    virtual Result<std::shared_ptr<DrawingApplication>> create(const QString& className) = 0;
};

/// The production backend: no program on this platform writes password-protected drawings,
/// so binding and creating fail with a description that says so.
class UnavailableDrawingAutomation final : public DrawingAutomation {
public:
    Result<std::shared_ptr<DrawingApplication>> bindByPathName(const QString& pathName) override;
    Result<std::shared_ptr<DrawingApplication>> create(const QString& className) override;
    /// The description of the failed create.
    static QString unavailableDescription(const QString& className);
};

/// The one production instance, shared by every window that needs it.
DrawingAutomation& productionDrawingAutomation();

} // namespace korvane::platform
