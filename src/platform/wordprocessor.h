#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

namespace korvane::platform {

class RunControl;

/// Whether another `open` of the same document can go differently. Failures of the application
/// or of the conversation with it (`ErrorKind::Io`, and `Injected` from fakes) may pass on a
/// second try; the rest are final: the user, a stop or a `quit` already made ended the call
/// (`Cancelled`, also for a wrong password), the file is missing (`NotFound`), someone else holds
/// it (`ReadOnly`), or the document itself was refused (`Failed`).
inline bool retryHelps(const Status& status)
{
    return !status.ok() && (status.kind() == ErrorKind::Io || status.kind() == ErrorKind::Injected);
}

/// One open document, as the `DocumentOpen` event hands it over. Valid until `close()` or
/// until the event handler returns, whichever comes first. A failed call's message is the
/// description the automation error would have carried.
class WordDocument {
public:
    virtual ~WordDocument() = default;
    /// The document's file, as given to `open`, decoded for display.
    virtual QString fullName() const = 0;
    /// `Password`: needed to open the document; "" removes it. Takes effect on `save`.
    virtual Status setPassword(const QString& password) = 0;
    /// `WritePassword`: needed to save changes; "" removes it. Takes effect on `save`.
    virtual Status setWritePassword(const QString& password) = 0;
    /// `Save`: writes the document to its own file.
    virtual Status save() = 0;
    /// `Close`, every argument omitted.
    virtual Status close() = 0;
    /// After a `save` that succeeded: the format the document was written in when it is not the
    /// one it was read in, as a note for its line; empty otherwise.
    virtual QString savedAs() const { return {}; }
};

/// The events the application raises into its client, on the caller's thread, while the
/// call that causes them runs.
class WordEvents {
public:
    virtual ~WordEvents() = default;
    /// Raised inside `open`, before it returns.
    virtual void DocumentOpen(WordDocument& document) = 0;
    /// Raised inside `quit`, on the application's way out.
    virtual void Quit() = 0;
};

/// The application object.
class WordApplication {
public:
    virtual ~WordApplication() = default;
    /// Binds the event sink (null: no more events).
    virtual void setEvents(WordEvents* sink) = 0;
    /// `Visible`.
    virtual Status setVisible(bool visible) = 0;
    /// `Documents.Open(FileName, ConfirmConversions)`, every other argument omitted. The file
    /// name is the path's raw bytes, so names that are not UTF-8 can be opened too.
    virtual Status open(const QByteArray& fileName, bool confirmConversions) = 0;
    /// `Quit`, every argument omitted. Fails when the application has already ended.
    virtual Status quit() = 0;
};

/// How a window obtains the application: binding to a running object by name, or creating one.
class WordAutomation {
public:
    virtual ~WordAutomation() = default;
    /// Binding by path name; fails when nothing can be bound.
    virtual Result<std::shared_ptr<WordApplication>> getObject(const QString& pathName) = 0;
    /// Creating a new object of `className`.
    virtual Result<std::shared_ptr<WordApplication>> createObject(const QString& className) = 0;
    /// The stop token of the run that uses the application from now on (null: none). A stop
    /// request ends a call in hand within a fraction of a second; the document in hand is then
    /// left as it was and reported as not done.
    virtual void setRunControl(RunControl* control) { Q_UNUSED(control); }
    /// Whether saving `document` goes through an office suite's export, which rewrites the whole
    /// document (the run notes it once); a backend that writes the file's own streams says no.
    virtual bool exportsThroughOffice(const QByteArray& document) const
    {
        Q_UNUSED(document);
        return true;
    }
};

/// What the word processor asks the user when a document needs its current password to open.
class DocumentPasswordPrompt {
public:
    virtual ~DocumentPasswordPrompt() = default;
    /// Asks for the password of `fileName` (shown to the user). nullopt when the user cancels.
    virtual std::optional<QString> askPassword(const QString& fileName) = 0;
};

} // namespace korvane::platform
