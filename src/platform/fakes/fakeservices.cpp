#include "platform/fakes/fakeservices.h"

#include "platform/interaction.h"

namespace korvane::platform {

void requireUserInterfaceThread(const char* who)
{
    // A real dialog made on another thread crashes the program: the fake must not let it pass.
    if (!onUserInterfaceThread())
        qFatal("%s called off the user-interface thread", who);
}

void FakeMessageBoxes::show(QWidget* parent, const QString& text, MessageIcon icon)
{
    showWithDetails(parent, text, icon, QString());
}

void FakeMessageBoxes::showWithDetails(QWidget*, const QString& text, MessageIcon icon, const QString& details)
{
    requireUserInterfaceThread("FakeMessageBoxes");
    shown.append({text, icon, details});
    if (onShow)
        onShow(shown.back());
}

QStringList FakeMessageBoxes::texts() const
{
    QStringList result;
    for (const Shown& s : shown)
        result << s.text;
    return result;
}

QString FakeFolderChooser::chooseFolder(QWidget*, const QString& prompt)
{
    requireUserInterfaceThread("FakeFolderChooser");
    prompts << prompt;
    return answers.isEmpty() ? QString() : answers.dequeue();
}

QString FakeFileChooser::openFile(QWidget*, const QString& filter)
{
    requireUserInterfaceThread("FakeFileChooser");
    openFilters << filter;
    return openAnswers.isEmpty() ? QString() : openAnswers.dequeue();
}

QString FakeFileChooser::saveFile(QWidget*, const QString& filter)
{
    requireUserInterfaceThread("FakeFileChooser");
    saveFilters << filter;
    return saveAnswers.isEmpty() ? QString() : saveAnswers.dequeue();
}

QString FakeInputBox::ask(QWidget*, const QString& prompt, const QString&, const QString&)
{
    requireUserInterfaceThread("FakeInputBox");
    prompts << prompt;
    return answers.isEmpty() ? QString() : answers.dequeue();
}

QString FakeSettingsStore::value(const QString& section, const QString& key, const QString& defaultValue)
{
    return values.value(section + QLatin1Char('/') + key, defaultValue);
}

void FakeSettingsStore::setValue(const QString& section, const QString& key, const QString& value)
{
    values.insert(section + QLatin1Char('/') + key, value);
    writes << section + QLatin1Char('/') + key + QLatin1Char('=') + value;
}

Status FakeProgramStarter::startDetached(const QString& program, const QStringList& arguments,
                                         const QString& workingFolder)
{
    calls.append({program, arguments, workingFolder, true, -1, {}});
    if (onStart)
        onStart(calls.back());
    if (failing.contains(program))
        return Status::failure(ErrorKind::Failed, QStringLiteral("No such file or directory"));
    return Status::success();
}

RunOutcome FakeProgramStarter::run(const QString& program, const QStringList& arguments, int,
                                   const QByteArray& standardInput, qint64 keepOutput)
{
    const Call call{program, arguments, {}, false, keepOutput, standardInput};
    {
        const QMutexLocker lock(&m_mutex);
        calls.append(call);
    }
    if (failing.contains(program))
        return {false, false, -1, {}, Status::failure(ErrorKind::Failed, QStringLiteral("No such file or directory")),
                false};
    if (onRun)
        return onRun(call);
    return {true, true, 0, {}, {}};
}

QString FakeProgramStarter::findExecutable(const QString& name)
{
    return executables.value(name);
}

void FakeDesktop::openUrl(const QUrl& url, std::function<void(const Status&)> answer)
{
    opened << url;
    answer(openSucceeds ? Status::success()
                        : Status::failure(ErrorKind::NotFound, QStringLiteral("没有找到 xdg-open")));
}

std::optional<RegistryValue> FakeRegistry::query(RegistryRoot, const QString& keyPath, const QString& valueName)
{
    const QString id = keyPath + QLatin1Char('\\') + valueName;
    queries << id;
    const auto it = values.constFind(id);
    if (it == values.constEnd())
        return std::nullopt;
    return *it;
}

void FaultyFileSystem::failOn(Op op, std::function<bool(const NativePath&)> matches, ErrorKind kind)
{
    const QMutexLocker lock(&m_mutex);
    m_faults.append({op, std::move(matches), kind});
}

void FaultyFileSystem::failOn(Op op, const NativePath& path, ErrorKind kind)
{
    failOn(
        op, [path](const NativePath& p) { return p == path; }, kind);
}

QList<NativePath> FaultyFileSystem::pathsOf(Op op) const
{
    QList<NativePath> result;
    for (const Call& c : calls)
        if (c.op == op)
            result << c.path;
    return result;
}

std::optional<Status> FaultyFileSystem::fault(Op op, const NativePath& path)
{
    const QMutexLocker lock(&m_mutex);
    calls.append({op, path});
    for (const Fault& f : m_faults)
        if (f.op == op && f.matches(path))
            return Status::failure(f.kind);
    return std::nullopt;
}

Result<std::vector<DirEntry>> FaultyFileSystem::list(const NativePath& folder)
{
    if (auto f = fault(Op::List, folder))
        return *f;
    return m_real.list(folder);
}

Result<FileInfo> FaultyFileSystem::info(const NativePath& path, Links links)
{
    if (auto f = fault(Op::Info, path))
        return *f;
    if (const auto scripted = m_scriptedInfo.constFind(path); scripted != m_scriptedInfo.cend())
        return *scripted;
    return m_real.info(path, links);
}

bool FaultyFileSystem::fileExists(const NativePath& path)
{
    if (fault(Op::FileExists, path))
        return false;
    return m_real.fileExists(path);
}

bool FaultyFileSystem::folderExists(const NativePath& path)
{
    if (fault(Op::FolderExists, path))
        return false;
    return m_real.folderExists(path);
}

Status FaultyFileSystem::moveFile(const NativePath& file, const NativePath& destFolder)
{
    if (auto f = fault(Op::Move, file))
        return *f;
    return m_real.moveFile(file, destFolder);
}

Status FaultyFileSystem::copyFile(const NativePath& file, const NativePath& destFolder, bool overwrite, bool* replaced)
{
    if (auto f = fault(Op::Copy, file))
        return *f;
    return m_real.copyFile(file, destFolder, overwrite, replaced);
}

Status FaultyFileSystem::deleteFile(const NativePath& file, bool force)
{
    if (auto f = fault(Op::Delete, file))
        return *f;
    return m_real.deleteFile(file, force);
}

Status FaultyFileSystem::createFolder(const NativePath& folder)
{
    if (auto f = fault(Op::CreateFolder, folder))
        return *f;
    return m_real.createFolder(folder);
}

Status FaultyFileSystem::writeFile(const NativePath& path, const QByteArray& bytes)
{
    if (auto f = fault(Op::WriteFile, path))
        return *f;
    return m_real.writeFile(path, bytes);
}

Result<QByteArray> FaultyFileSystem::readFile(const NativePath& path, qint64 maxBytes)
{
    if (auto f = fault(Op::ReadFile, path))
        return *f;
    return m_real.readFile(path, maxBytes);
}

namespace {

/// The real folder's looks, each of which the file system that opened it may fail.
class FaultyOpenFolder final : public OpenFolder {
public:
    FaultyOpenFolder(FaultyFileSystem& fs, NativePath path, std::unique_ptr<OpenFolder> real)
        : m_fs(fs), m_path(std::move(path)), m_real(std::move(real))
    {}
    Result<FileInfo> info(const QByteArray& name, Links links) const override
    {
        if (auto f = m_fs.fault(FaultyFileSystem::Op::InfoAt, joinPath(m_path, name)))
            return *f;
        return m_real->info(name, links);
    }

private:
    FaultyFileSystem& m_fs;
    NativePath m_path;
    std::unique_ptr<OpenFolder> m_real;
};

} // namespace

Result<std::unique_ptr<OpenFolder>> FaultyFileSystem::openFolder(const NativePath& folder)
{
    if (auto f = fault(Op::OpenFolder, folder))
        return *f;
    Result<std::unique_ptr<OpenFolder>> real = m_real.openFolder(folder);
    if (!real)
        return real;
    return std::unique_ptr<OpenFolder>(new FaultyOpenFolder(*this, folder, std::move(*real)));
}

Result<TreeSnapshot> FaultyFileSystem::snapshot(const NativePath& folder)
{
    if (auto f = fault(Op::Snapshot, folder))
        return *f;
    return m_real.snapshot(folder);
}

Status FaultyFileSystem::removeAllBut(const NativePath& folder, const TreeSnapshot& keep)
{
    if (auto f = fault(Op::RemoveAllBut, folder))
        return *f;
    return m_real.removeAllBut(folder, keep);
}

Result<std::unique_ptr<HeldLock>> FaultyFileSystem::createExclusive(const NativePath& path, quint32 mode,
                                                                    EntryKind kind)
{
    if (auto f = fault(Op::CreateExclusive, path))
        return *f;
    return m_real.createExclusive(path, mode, kind);
}

Result<std::unique_ptr<HeldLock>> FaultyFileSystem::lock(const NativePath& path, bool wait)
{
    if (auto f = fault(Op::Lock, path))
        return *f;
    return m_real.lock(path, wait);
}

Status FaultyFileSystem::probeWrite(const NativePath& file)
{
    if (auto f = fault(Op::ProbeWrite, file))
        return *f;
    return m_real.probeWrite(file);
}

Status FaultyFileSystem::copyInto(const NativePath& from, const NativePath& to)
{
    if (auto f = fault(Op::CopyInto, from))
        return *f;
    return m_real.copyInto(from, to);
}

Result<bool> FaultyFileSystem::sameContents(const NativePath& a, const NativePath& b)
{
    if (auto f = fault(Op::SameContents, a))
        return *f;
    return m_real.sameContents(a, b);
}

Status FaultyFileSystem::link(const NativePath& from, const NativePath& to)
{
    if (auto f = fault(Op::Link, from))
        return *f;
    return m_real.link(from, to);
}

Status FaultyFileSystem::renameOver(const NativePath& from, const NativePath& to)
{
    if (auto f = fault(Op::RenameOver, from))
        return *f;
    return m_real.renameOver(from, to);
}

Status FaultyFileSystem::removeFlatFolder(const NativePath& folder)
{
    if (auto f = fault(Op::RemoveFlatFolder, folder))
        return *f;
    return m_real.removeFlatFolder(folder);
}

Status FaultyFileSystem::sync(const NativePath& path)
{
    if (auto f = fault(Op::Sync, path))
        return *f;
    return m_real.sync(path);
}

FakeServices::FakeServices(const QString& programFolder)
    : m_services{messages, folders, files,    input,         settings, programs,
                 desktop,  fs,      registry, programFolder, nullptr,  programFolder}
{}

} // namespace korvane::platform
