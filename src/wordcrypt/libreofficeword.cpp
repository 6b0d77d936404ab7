#include "wordcrypt/libreofficeword.h"

#include "platform/interaction.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/runcontrol.h"
#include "platform/uniquefd.h"
#include "wordcrypt/documentfiles.h"
#include "wordcrypt/documentsteps.h"
#include "wordcrypt/helperprocess.h"
#include "wordcrypt/officeprotocol.h"
#include "wordcrypt/worddocfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStandardPaths>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::wordcrypt {

using platform::ErrorKind;
using platform::Status;
using platform::WordDocument;
namespace protocol = officeprotocol;

struct LibreOfficeWord::Shared {
    Shared(Options o, platform::DocumentPasswordPrompt& p) : options(std::move(o)), prompt(p) {}
    Options options;
    platform::DocumentPasswordPrompt& prompt;
    std::atomic<platform::RunControl*> control{nullptr};
    platform::LocalFileSystem localFileSystem;

    platform::FileSystem& fs() { return options.fileSystem ? *options.fileSystem : localFileSystem; }

    bool stopRequested() const
    {
        platform::RunControl* c = control.load();
        return c && c->stopRequested();
    }
};

namespace {

QByteArray field(const QString& text)
{
    return text.toUtf8().toPercentEncoding();
}

QByteArray urlPath(const QByteArray& path)
{
    return path.toPercentEncoding("/");
}

std::unique_ptr<HelperProcess> makeHelperProcess(const std::shared_ptr<LibreOfficeWord::Shared>& shared)
{
    return std::make_unique<HelperProcess>(shared->options.helperProgram, shared->options.startLimitMs,
                                           [shared] { return shared->stopRequested(); });
}

class Application;

class Document final : public WordDocument {
public:
    Document(Application& app, int id, QString name, QByteArray realPath, QString filter)
        : m_app(app), m_id(id), m_name(std::move(name)), m_realPath(std::move(realPath)), m_filter(std::move(filter))
    {}

    QString fullName() const override { return m_name; }

    Status setPassword(const QString& password) override { return m_asked.setOpen(password); }
    Status setWritePassword(const QString& password) override { return m_asked.setWrite(password); }

    Status save() override;
    Status close() override;
    QString savedAs() const override { return m_converted ? QStringLiteral("已转存为Word 97格式") : QString(); }

    bool closed() const { return m_closed; }

private:
    Status checkSavable() const;
    bool readAsWord95() const
    {
        return m_filter == QLatin1String(protocol::kWord95Filter) || m_filter == QLatin1String(protocol::kWord6Filter);
    }
    Status checkOfficeOutput(const QByteArray& path) const;
    Status exportTo(const QByteArray& exported);
    Status reserveWrite(const QByteArray& exported, const QByteArray& rewritten, QByteArray* result) const;

    Application& m_app;
    int m_id;
    QString m_name;
    QByteArray m_realPath;
    QString m_filter;
    bool m_converted = false;   ///< saved, and it was read as Word 6/95
    RequestedPasswords m_asked; ///< a password the format cannot hold was asked for: nothing is saved
    bool m_closed = false;
};

class Application final : public platform::WordApplication {
public:
    Application(std::shared_ptr<LibreOfficeWord::Shared> shared, QString office, std::unique_ptr<HelperProcess> helper)
        : m_shared(std::move(shared)), m_office(std::move(office)), m_helper(std::move(helper))
    {}

    void setEvents(platform::WordEvents* sink) override { m_sink = sink; }

    Status setVisible(bool) override
    {
        // The office runs headless: there is never a window to show or hide.
        return m_ended ? Status::failure(ErrorKind::Failed, QStringLiteral("LibreOffice 已退出")) : Status{};
    }

    Status open(const QByteArray& rawName, bool) override;

    Status quit() override
    {
        if (m_ended)
            return Status::failure(ErrorKind::Failed, QStringLiteral("LibreOffice 已退出"));
        m_ended = true;
        m_helper.reset(); // ends the office and removes its profile
        if (m_sink)
            m_sink->Quit();
        return {};
    }

    /// One call to the helper; a helper lost to a crash is started again for the next one
    /// unless `mayRestart` is false.
    HelperProcess::Reply call(const QByteArray& line, bool mayRestart = true)
    {
        if (!mayRestart && !(m_helper && m_helper->alive()))
            return HelperProcess::gone(QStringLiteral("LibreOffice 已退出"));
        if (const Status ready = ensureHelper(); !ready.ok())
            return HelperProcess::gone(ready.message());
        HelperProcess::Reply r = m_helper->call(line, m_shared->options.callLimitMs);
        if (!r && !m_helper->alive())
            m_helper.reset();
        return r;
    }

    bool stopRequested() const { return m_shared->stopRequested(); }
    platform::FileSystem& fs() const { return m_shared->fs(); }

private:
    /// A live helper, started again when the last one died.
    Status ensureHelper()
    {
        if (m_helper && m_helper->alive())
            return {};
        m_helper = makeHelperProcess(m_shared);
        if (const Status started = m_helper->start(m_office); !started.ok()) {
            m_helper.reset();
            return Status::failure(started.kind(),
                                   QStringLiteral("LibreOffice 无法重新启动(%1)").arg(started.message()));
        }
        return {};
    }

    /// Loads the document; `id` and `filter` get its handle and filter. Success without them
    /// when it needs a password and none was given: the caller asks for it.
    Status load(const QByteArray& realPath, const QString* password, std::optional<HelperProcess::Answer>* loaded);

    std::shared_ptr<LibreOfficeWord::Shared> m_shared;
    QString m_office;
    std::unique_ptr<HelperProcess> m_helper;
    platform::WordEvents* m_sink = nullptr;
    bool m_ended = false;
};

Status Application::load(const QByteArray& realPath, const QString* password,
                         std::optional<HelperProcess::Answer>* loaded)
{
    loaded->reset();
    QByteArray line = protocol::kLoad + (protocol::kSeparator + urlPath(realPath));
    if (password)
        line += protocol::kSeparator + field(*password);
    // A document that takes the office down gets one more chance with a fresh office.
    HelperProcess::Reply r = HelperProcess::gone({});
    for (int attempt = 0; attempt < 2; ++attempt) {
        r = call(line);
        if (r || !isDeath(r.status()))
            break;
    }
    if (r) {
        *loaded = *r;
        return {};
    }
    const Status& failure = r.status();
    if (isDeath(failure))
        return untouched(ErrorKind::Failed, QStringLiteral("LibreOffice 在处理此文档时意外退出"));
    if (hasCode(failure, HelperProcess::kStopped))
        return untouched(ErrorKind::Cancelled, QStringLiteral("运行已停止"));
    if (password && (hasCode(failure, protocol::kWrongPassword) || hasCode(failure, protocol::kPassword)))
        return Status::failure(ErrorKind::Cancelled, QStringLiteral("打开密码不正确"));
    if (hasCode(failure, protocol::kPassword))
        return {}; // the caller asks for it
    return Status::failure(hasCode(failure, protocol::kLocked) ? ErrorKind::ReadOnly : ErrorKind::Io,
                           describeOfficeFailure(failureCode(failure), failureText(failure)));
}

Status Application::open(const QByteArray& rawName, bool)
{
    const QString fileName = platform::displayPath(rawName);
    if (m_ended)
        return Status::failure(ErrorKind::Cancelled, QStringLiteral("LibreOffice 已退出"));
    if (stopRequested())
        return untouched(ErrorKind::Cancelled, QStringLiteral("运行已停止"));
    const platform::Result<CheckedDocument> checked =
        checkDocumentFile(m_shared->fs(), rawName, m_helper ? m_helper->profile() : QString());
    if (!checked)
        return checked.status();
    const QByteArray& realPath = checked->realPath;
    const bool encrypted = checked->encrypted;

    // As Word would: ask for the document's current password, then open with it. An encrypted
    // Word 97 file is known from its header, so it is asked for first and loaded once.
    std::optional<HelperProcess::Answer> r;
    std::optional<QString> password;
    const auto ask = [&]() -> Status {
        // Asked on the user-interface thread whatever thread the run is on; a prompt that
        // cannot be shown (the program is quitting) counts as cancelled.
        password.reset();
        platform::interactWithUser([&] { password = m_shared->prompt.askPassword(fileName); });
        if (!password)
            return Status::failure(ErrorKind::Cancelled, QStringLiteral("文档需要打开密码，已取消"));
        return load(realPath, &*password, &r);
    };
    Status loaded = encrypted ? ask() : load(realPath, nullptr, &r);
    if (loaded.ok() && !r)
        loaded = ask(); // it needs a password
    if (!loaded.ok())
        return loaded;

    Document document(*this, r->fields.value(0).toInt(), fileName, realPath, r->fields.value(1));
    if (m_sink)
        m_sink->DocumentOpen(document);
    if (!document.closed())
        document.close(); // the document object does not outlive the event
    return {};
}

Status Document::checkOfficeOutput(const QByteArray& path) const
{
    const platform::Result<WordFileState> state = inspectWordPath(path);
    if (!state)
        return Status::failure(
            ErrorKind::Failed,
            QStringLiteral("保存后的文件不是有效的 Word 97-2003 文档(%1)").arg(state.status().message()));
    if (m_asked.open.isEmpty() && state->encrypted)
        return Status::failure(ErrorKind::Failed, QStringLiteral("保存后的文档仍需要打开密码"));
    if (!m_asked.open.isEmpty() &&
        (!state->encrypted || state->obfuscated || !rc4PasswordMatchesPath(path, m_asked.open)))
        return Status::failure(ErrorKind::Failed, QStringLiteral("保存后的文档未按所给密码加密"));
    return {};
}

/// The document can be saved: passwords the format holds, a Word 97 document, and a regular
/// file that can be opened for writing.
Status Document::checkSavable() const
{
    if (m_closed)
        return Status::failure(ErrorKind::Failed, QStringLiteral("文档已关闭"));
    if (m_asked.tooLong)
        return untouched(ErrorKind::Failed, passwordTooLongText());
    if (m_filter != QLatin1String(protocol::kWord97Filter) && !readAsWord95())
        return untouched(ErrorKind::Failed, QStringLiteral("不是 Word 97-2003 文档"));
    return checkWritable(m_app.fs(), m_realPath);
}

/// The office's export of the document, with the open password, checked.
Status Document::exportTo(const QByteArray& exported)
{
    QByteArray line =
        protocol::kStore + (protocol::kSeparator + QByteArray::number(m_id)) + protocol::kSeparator + urlPath(exported);
    if (!m_asked.open.isEmpty())
        line += protocol::kSeparator + field(m_asked.open);
    // The document lives in the office that loaded it: a new office could not store it.
    if (const HelperProcess::Reply r = m_app.call(line, false); !r) {
        const Status& failure = r.status();
        if (isDeath(failure))
            return untouched(ErrorKind::Failed, QStringLiteral("LibreOffice 在处理此文档时意外退出"));
        if (hasCode(failure, HelperProcess::kStopped))
            return untouched(ErrorKind::Cancelled, QStringLiteral("运行已停止"));
        return untouched(ErrorKind::Failed, describeOfficeFailure(failureCode(failure), failureText(failure)));
    }
    if (const Status bad = checkOfficeOutput(exported); !bad.ok())
        return untouched(ErrorKind::Failed, bad.message());
    return {};
}

/// The modify password is ours to write: the office writes none into Word 97 files. `result`
/// becomes the checked rewrite, or stays the export when it already holds what was asked for.
Status Document::reserveWrite(const QByteArray& exported, const QByteArray& rewritten, QByteArray* result) const
{
    const platform::Result<WriteReservation> present = readWriteReservation(exported, m_asked.open);
    if (present && !present->flag && present->password.isEmpty() && m_asked.write.isEmpty())
        return {};
    // The office writes the associated strings of some Word 6/95 documents in a layout of its own;
    // its export is ours, the document's strings already lost in it: new ones replace them.
    const DamagedStrings damaged = readAsWord95() ? DamagedStrings::Replace : DamagedStrings::Refuse;
    if (const Status written = writeWriteReservation(exported, rewritten, m_asked.open, m_asked.write, damaged);
        !written.ok())
        return untouched(ErrorKind::Failed, QStringLiteral("无法写入写密码(%1)").arg(written.message()));
    if (const Status same = compareAfterReservation(exported, rewritten, m_asked.open, m_asked.write, damaged);
        !same.ok())
        return untouched(ErrorKind::Failed, QStringLiteral("写密码写入后校验失败(%1)").arg(same.message()));
    if (const Status bad = checkOfficeOutput(rewritten); !bad.ok())
        return untouched(ErrorKind::Failed, bad.message());
    *result = rewritten;
    return {};
}

Status Document::save()
{
    if (const Status savable = checkSavable(); !savable.ok())
        return savable;
    const platform::Result<std::unique_ptr<WorkFolder>> folder = WorkFolder::create(m_app.fs(), m_realPath);
    if (!folder)
        return untouched(ErrorKind::Io, QStringLiteral("无法在文档所在文件夹建立临时文件"));
    const QByteArray& work = (*folder)->path();
    const QByteArray exported = work + "/office.doc";
    if (const Status stored = exportTo(exported); !stored.ok())
        return stored;
    QByteArray result = exported;
    if (const Status reserved = reserveWrite(exported, work + "/final.doc", &result); !reserved.ok())
        return reserved;
    if (m_app.stopRequested())
        return untouched(ErrorKind::Cancelled, QStringLiteral("运行已停止"));
    const Status replaced = replaceWithResult(m_app.fs(), m_realPath, result);
    m_converted = replaced.ok() && readAsWord95();
    return replaced;
}

Status Document::close()
{
    if (m_closed)
        return Status::failure(ErrorKind::Failed, QStringLiteral("文档已关闭"));
    m_closed = true;
    const HelperProcess::Reply r =
        m_app.call(protocol::kClose + (protocol::kSeparator + QByteArray::number(m_id)), false);
    if (r || hasCode(r.status(), HelperProcess::kGone) || isDeath(r.status()) ||
        hasCode(r.status(), HelperProcess::kStopped))
        return {}; // a dead office holds no document any more
    return Status::failure(ErrorKind::Failed,
                           QStringLiteral("LibreOffice 无法关闭文档(%1)").arg(failureText(r.status())));
}

} // namespace

QString describeOfficeFailure(const QString& code, const QString& text)
{
    QString reason;
    if (code == QLatin1String(protocol::kLocked))
        reason = QStringLiteral("文档正被其他程序打开");
    else if (code == QLatin1String(protocol::kLoadFailed))
        reason = QStringLiteral("LibreOffice 无法打开此文档");
    else if (code == QLatin1String(protocol::kStoreFailed))
        reason = text.startsWith(QLatin1String("0x4c0c")) ? QStringLiteral("文档只读或已被锁定")
                                                          : QStringLiteral("LibreOffice 无法保存此文档");
    else if (code == QLatin1String(protocol::kCloseFailed))
        reason = QStringLiteral("LibreOffice 无法关闭文档");
    else if (code == QLatin1String(protocol::kCrashed))
        reason = QStringLiteral("LibreOffice 在处理此文档时意外退出");
    else if (code == QLatin1String(HelperProcess::kGone))
        return text; // already ours
    else
        reason = QStringLiteral("与 LibreOffice 的通信出错");
    return text.isEmpty() ? reason : reason + QStringLiteral("(%1)").arg(text);
}

QStringList LibreOfficeWord::officeSearchPlaces()
{
    return {QStringLiteral("PATH 中的 soffice、libreoffice"), QStringLiteral("/usr/lib/libreoffice"),
            QStringLiteral("/usr/local/lib/libreoffice"), QStringLiteral("/opt/libreoffice*")};
}

QString LibreOfficeWord::findOffice()
{
    for (const QString& name : {QStringLiteral("soffice"), QStringLiteral("libreoffice")}) {
        const QString found = QStandardPaths::findExecutable(name);
        if (!found.isEmpty())
            return QFileInfo(found).canonicalFilePath();
    }
    QStringList candidates = {QStringLiteral("/usr/lib/libreoffice/program/soffice"),
                              QStringLiteral("/usr/local/lib/libreoffice/program/soffice")};
    // The newest of the vendor's own packages first.
    QStringList opt = QDir(QStringLiteral("/opt")).entryList({QStringLiteral("libreoffice*")}, QDir::Dirs, QDir::Name);
    std::reverse(opt.begin(), opt.end());
    for (const QString& dir : opt)
        candidates << QStringLiteral("/opt/%1/program/soffice").arg(dir);
    for (const QString& c : candidates) {
        if (QFileInfo(c).isExecutable())
            return c;
    }
    return {};
}

QString libreOfficeMissingText()
{
    return QStringLiteral("未找到 LibreOffice Writer，无法处理 Word 文档。请先安装 LibreOffice "
                          "(Debian 软件包 libreoffice-writer-nogui)后再试。(已查找: %1)")
        .arg(LibreOfficeWord::officeSearchPlaces().join(QStringLiteral("、")));
}

LibreOfficeWord::LibreOfficeWord(Options options, platform::DocumentPasswordPrompt& prompt)
    : m_shared(std::make_shared<Shared>(std::move(options), prompt))
{}

LibreOfficeWord::~LibreOfficeWord() = default;

void LibreOfficeWord::setRunControl(platform::RunControl* control)
{
    m_shared->control.store(control);
}

QString LibreOfficeWord::defaultHelper(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("korvane-unohelper"));
}

platform::Result<std::shared_ptr<platform::WordApplication>> LibreOfficeWord::getObject(const QString& pathName)
{
    return Status::failure(ErrorKind::Failed, QStringLiteral("无法绑定到正在运行的 %1").arg(pathName));
}

platform::Result<std::shared_ptr<platform::WordApplication>> LibreOfficeWord::createObject(const QString&)
{
    QString office = m_shared->options.officeProgram;
    if (office.isEmpty())
        office = findOffice();
    if (office.isEmpty())
        return Status::failure(ErrorKind::NotFound, libreOfficeMissingText());
    std::unique_ptr<HelperProcess> helper = makeHelperProcess(m_shared);
    if (const Status started = helper->start(office); !started.ok()) {
        if (started.kind() == ErrorKind::NotFound)
            return Status::failure(ErrorKind::NotFound, libreOfficeMissingText());
        return Status::failure(ErrorKind::Failed, QStringLiteral("LibreOffice 无法启动(%1)").arg(started.message()));
    }
    return std::shared_ptr<platform::WordApplication>(
        std::make_shared<Application>(m_shared, office, std::move(helper)));
}

} // namespace korvane::wordcrypt
