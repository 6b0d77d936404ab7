#pragma once

#include "platform/wordprocessor.h"

#include <QHash>
#include <QQueue>
#include <QSet>
#include <QStringList>
#include <functional>
#include <optional>

namespace korvane::platform {

/// A word processor in memory. Every call is recorded in `calls` ("Open a.doc", "Password=x",
/// ...); events are raised synchronously inside `open` and `quit`, as the real one does.
/// Failures are scripted per step and per document.
class FakeWordAutomation final : public WordAutomation {
public:
    /// What a document holds after its last successful save.
    struct Saved {
        QString password;
        QString writePassword;
    };

    QStringList calls;
    /// Called after each call is recorded (lets a test look at the window mid-run).
    std::function<void(const QString& call)> onCall;

    bool bindSucceeds = false; ///< a running application can be bound by name
    QString createError;       ///< non-empty: creating the application fails with it
    /// Documents (paths as UTF-8 text) that cannot be opened, with how many attempts fail (-1: every
    /// attempt).
    QHash<QString, int> openFailures;
    /// Steps that fail ("Password", "WritePassword", "Save", "Close"), each with the paths it fails on.
    QHash<QString, QSet<QString>> stepFailures;
    bool quitFails = false;
    /// Documents that need their current password to open, with it. It is asked through
    /// `prompt` (none: as a cancel), on the user-interface thread as the real one asks.
    QHash<QString, QString> openPasswords;
    DocumentPasswordPrompt* prompt = nullptr;

    QHash<QString, Saved> saved; ///< path -> passwords written by the last save
    QSet<QString> converted;     ///< paths a save writes in another format ("已转存为Word 97格式")
    int applicationsCreated = 0;
    int openDocuments = 0; ///< opened and not yet closed

    Result<std::shared_ptr<WordApplication>> getObject(const QString& pathName) override;
    Result<std::shared_ptr<WordApplication>> createObject(const QString& className) override;
    void setRunControl(RunControl* control) override { runControl = control; }
    RunControl* runControl = nullptr; ///< as last handed over

    void record(const QString& call);
    bool fails(const QString& step, const QString& path) const { return stepFailures.value(step).contains(path); }
};

/// Scripted answers for the password prompt; an empty queue means the user cancelled.
class FakeDocumentPasswordPrompt final : public DocumentPasswordPrompt {
public:
    QQueue<QString> answers;
    QStringList asked; ///< file names shown
    std::optional<QString> askPassword(const QString& fileName) override;
};

} // namespace korvane::platform
