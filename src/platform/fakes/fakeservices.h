#pragma once

#include "platform/localfilesystem.h"
#include "platform/services.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QQueue>
#include <QStringList>
#include <QUrl>
#include <functional>

namespace korvane::platform {

/// Ends the test program when a fake dialog is called off the user-interface thread.
void requireUserInterfaceThread(const char* who);

/// Records every box; `onShow` lets a test act while the box would be open.
class FakeMessageBoxes final : public MessageBoxes {
public:
    struct Shown {
        QString text;
        MessageIcon icon;
        QString details;
    };
    QList<Shown> shown;
    std::function<void(const Shown&)> onShow;

    void show(QWidget*, const QString& text, MessageIcon icon) override;
    void showWithDetails(QWidget*, const QString& text, MessageIcon icon, const QString& details) override;
    QStringList texts() const;
};

/// Answers from a queue; an empty queue means the user cancelled.
class FakeFolderChooser final : public FolderChooser {
public:
    QQueue<QString> answers;
    QStringList prompts;
    QString chooseFolder(QWidget*, const QString& prompt) override;
};

class FakeFileChooser final : public FileChooser {
public:
    QQueue<QString> openAnswers;
    QQueue<QString> saveAnswers;
    QStringList openFilters;
    QStringList saveFilters;
    QString openFile(QWidget*, const QString& filter) override;
    QString saveFile(QWidget*, const QString& filter) override;
};

class FakeInputBox final : public InputBox {
public:
    QQueue<QString> answers;
    QStringList prompts;
    QString ask(QWidget*, const QString& prompt, const QString& title, const QString& defaultText) override;
};

class FakeSettingsStore final : public SettingsStore {
public:
    QHash<QString, QString> values; ///< "section/key" -> value
    QStringList writes;             ///< "section/key=value" in order
    QString value(const QString& section, const QString& key, const QString& defaultValue) override;
    void setValue(const QString& section, const QString& key, const QString& value) override;
};

/// Records starts; a program listed in `failing` fails to start.
class FakeProgramStarter final : public ProgramStarter {
public:
    struct Call {
        QString program;
        QStringList arguments;
        QString workingFolder;
        bool detached = true;
        qint64 keepOutput = -1;   ///< what run() was asked to keep of the output
        QByteArray standardInput; ///< what run() was given to write to the program
    };
    QList<Call> calls;                            ///< run() may be called from several threads: read once they are done
    QStringList failing;                          ///< programs that cannot be started
    QHash<QString, QString> executables;          ///< name -> path answered by findExecutable
    std::function<RunOutcome(const Call&)> onRun; ///< answers run(); default: finished, exit 0
    std::function<void(const Call&)> onStart;     ///< called by startDetached() before it answers

    Status startDetached(const QString& program, const QStringList& arguments,
                         const QString& workingFolder = {}) override;
    RunOutcome run(const QString& program, const QStringList& arguments, int timeoutMs,
                   const QByteArray& standardInput = {}, qint64 keepOutput = -1) override;
    QString findExecutable(const QString& name) override;

private:
    QMutex m_mutex; ///< guards calls against concurrent run()s
};

class FakeDesktop final : public Desktop {
public:
    int beeps = 0;
    QList<QUrl> opened;
    bool openSucceeds = true;
    void beep() override { ++beeps; }
    void openUrl(const QUrl& url, std::function<void(const Status&)> answer) override;
};

class FakeRegistry final : public Registry {
public:
    QHash<QString, RegistryValue> values; ///< "key\\value name" -> value
    QStringList queries;
    std::optional<RegistryValue> query(RegistryRoot root, const QString& keyPath, const QString& valueName) override;
};

/// The real file system with scripted failures: tests run on real temporary trees and make
/// any operation on any path fail, as a permission or disk fault would (CI runs as root).
/// A test may derive from it to change an answer. Safe to call from several threads at once.
class FaultyFileSystem : public FileSystem {
public:
    /// InfoAt is a look through an open folder; its path is the folder's joined with the name.
    /// Copy is copyFile; CopyInto, SameContents, Link and RenameOver go by their first path.
    enum class Op {
        List,
        Info,
        FileExists,
        FolderExists,
        Move,
        Copy,
        Delete,
        CreateFolder,
        WriteFile,
        ReadFile,
        OpenFolder,
        InfoAt,
        Snapshot,
        RemoveAllBut,
        CreateExclusive,
        Lock,
        ProbeWrite,
        CopyInto,
        SameContents,
        Link,
        RenameOver,
        RemoveFlatFolder,
        Sync,
    };
    struct Call {
        Op op;
        NativePath path;
    };
    QList<Call> calls;
    /// Fail `op` on every path for which `matches` is true.
    void failOn(Op op, std::function<bool(const NativePath&)> matches, ErrorKind kind = ErrorKind::Injected);
    /// Fail `op` on exactly this path.
    void failOn(Op op, const NativePath& path, ErrorKind kind = ErrorKind::Injected);
    /// Read once the calls are done.
    QList<NativePath> pathsOf(Op op) const;
    /// Answer `info()` for exactly this path with `answer`, as another file system might.
    void scriptInfo(const NativePath& path, const FileInfo& answer) { m_scriptedInfo.insert(path, answer); }

    // Plain calls
    Result<FileInfo> info(const NativePath& path, Links links = Links::Own) override;
    bool fileExists(const NativePath& path) override;
    bool folderExists(const NativePath& path) override;
    Status deleteFile(const NativePath& file, bool force) override;
    Status createFolder(const NativePath& folder) override;
    Status writeFile(const NativePath& path, const QByteArray& bytes) override;
    Result<QByteArray> readFile(const NativePath& path, qint64 maxBytes = -1) override;
    Result<std::unique_ptr<HeldLock>> createExclusive(const NativePath& path, quint32 mode,
                                                      EntryKind kind = EntryKind::File) override;
    Result<std::unique_ptr<HeldLock>> lock(const NativePath& path, bool wait) override;
    Status probeWrite(const NativePath& file) override;
    Status link(const NativePath& from, const NativePath& to) override;
    Status sync(const NativePath& path) override;
    // Copy and replace
    Status moveFile(const NativePath& file, const NativePath& destFolder) override;
    Status copyFile(const NativePath& file, const NativePath& destFolder, bool overwrite,
                    bool* replaced = nullptr) override;
    Status copyInto(const NativePath& from, const NativePath& to) override;
    Result<bool> sameContents(const NativePath& a, const NativePath& b) override;
    Status renameOver(const NativePath& from, const NativePath& to) override;
    // Tree walks and listings
    Result<std::vector<DirEntry>> list(const NativePath& folder) override;
    Result<std::unique_ptr<OpenFolder>> openFolder(const NativePath& folder) override;
    Result<TreeSnapshot> snapshot(const NativePath& folder) override;
    Status removeAllBut(const NativePath& folder, const TreeSnapshot& keep) override;
    Status removeFlatFolder(const NativePath& folder) override;

    /// The scripted failure of `op` on `path`, if any, after recording the call.
    std::optional<Status> fault(Op op, const NativePath& path);

private:
    struct Fault {
        Op op;
        std::function<bool(const NativePath&)> matches;
        ErrorKind kind;
    };
    QMutex m_mutex; ///< guards calls and m_faults
    QList<Fault> m_faults;
    QHash<NativePath, FileInfo> m_scriptedInfo;
    LocalFileSystem m_real;
};

/// All fakes together, for a window under test.
class FakeServices {
public:
    /// Helper programs are looked up in `programFolder` too.
    explicit FakeServices(const QString& programFolder = {});
    Services& services() { return m_services; }

    FakeMessageBoxes messages;
    FakeFolderChooser folders;
    FakeFileChooser files;
    FakeInputBox input;
    FakeSettingsStore settings;
    FakeProgramStarter programs;
    FakeDesktop desktop;
    FaultyFileSystem fs;
    FakeRegistry registry;

private:
    Services m_services;
};

} // namespace korvane::platform
