#include "wordcrypt/nativeword.h"

#include "platform/interaction.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/runcontrol.h"
#include "wordcrypt/documentfiles.h"
#include "wordcrypt/documentsteps.h"
#include "wordcrypt/nativecrypt.h"
#include "wordcrypt/worddocfile.h"

#include <atomic>
#include <cstdlib>
#include <optional>

namespace korvane::wordcrypt {

using platform::ErrorKind;
using platform::Status;

struct NativeWord::Shared {
    Shared(platform::DocumentPasswordPrompt& p, platform::FileSystem* f) : prompt(p), fileSystem(f) {}
    platform::DocumentPasswordPrompt& prompt;
    platform::FileSystem* fileSystem;
    platform::LocalFileSystem localFileSystem;
    std::atomic<platform::RunControl*> control{nullptr};

    platform::FileSystem& fs() { return fileSystem ? *fileSystem : localFileSystem; }
    bool stopRequested() const
    {
        platform::RunControl* c = control.load();
        return c && c->stopRequested();
    }
};

namespace {

/// A step of the rewrite that failed: nothing was written to the document.
Status stepFailed(const QString& what, const Status& why)
{
    return untouched(ErrorKind::Failed, QStringLiteral("%1(%2)").arg(what, why.message()));
}

class Document final : public platform::WordDocument {
public:
    Document(std::shared_ptr<NativeWord::Shared> shared, QString name, QByteArray realPath,
             std::optional<QString> current)
        : m_shared(std::move(shared)), m_name(std::move(name)), m_realPath(std::move(realPath)),
          m_current(std::move(current))
    {}

    QString fullName() const override { return m_name; }

    Status setPassword(const QString& password) override { return m_asked.setOpen(password); }
    Status setWritePassword(const QString& password) override { return m_asked.setWrite(password); }

    Status save() override;

    Status close() override
    {
        if (m_closed)
            return Status::failure(ErrorKind::Failed, QStringLiteral("文档已关闭"));
        m_closed = true;
        return {};
    }

    bool closed() const { return m_closed; }

private:
    Status rewrite(const QByteArray& work, QByteArray* result) const;

    std::shared_ptr<NativeWord::Shared> m_shared;
    QString m_name;
    QByteArray m_realPath;
    std::optional<QString> m_current; ///< the open password it has; none when not encrypted
    RequestedPasswords m_asked;       ///< a password the format cannot hold was asked for: nothing is saved
    bool m_closed = false;
};

/// The new document in `work`: decrypted, then the write reservation on the plain streams, then
/// encrypted; each step read back against the one before. `result` stays the document itself
/// when nothing changes.
Status Document::rewrite(const QByteArray& work, QByteArray* result) const
{
    QByteArray plain = m_realPath;
    if (m_current) {
        plain = work + "/plain.doc";
        if (const Status s = transcodeDocument(m_realPath, *m_current, plain, QString()); !s.ok())
            return stepFailed(QStringLiteral("无法解密文档"), s);
        if (const Status s = comparePlainDocuments(m_realPath, *m_current, plain, QString()); !s.ok())
            return stepFailed(QStringLiteral("解密后校验失败"), s);
    }
    const platform::Result<WriteReservation> present = readWriteReservation(plain, QString());
    if (!present || present->flag != !m_asked.write.isEmpty() || present->password != m_asked.write) {
        const QByteArray reserved = work + "/reserved.doc";
        if (const Status s = writeWriteReservation(plain, reserved, QString(), m_asked.write); !s.ok())
            return stepFailed(QStringLiteral("无法写入写密码"), s);
        if (const Status s = compareAfterReservation(plain, reserved, QString(), m_asked.write); !s.ok())
            return stepFailed(QStringLiteral("写密码写入后校验失败"), s);
        plain = reserved;
    }
    *result = plain;
    if (!m_asked.open.isEmpty()) {
        *result = work + "/final.doc";
        if (const Status s = transcodeDocument(plain, QString(), *result, m_asked.open); !s.ok())
            return stepFailed(QStringLiteral("无法设置打开密码"), s);
        if (const Status s = comparePlainDocuments(plain, QString(), *result, m_asked.open); !s.ok())
            return stepFailed(QStringLiteral("加密后校验失败"), s);
    }
    return {};
}

Status Document::save()
{
    if (m_closed)
        return Status::failure(ErrorKind::Failed, QStringLiteral("文档已关闭"));
    if (m_asked.tooLong)
        return untouched(ErrorKind::Failed, passwordTooLongText());
    if (const Status writable = checkWritable(m_shared->fs(), m_realPath); !writable.ok())
        return writable;
    const platform::Result<std::unique_ptr<WorkFolder>> folder = WorkFolder::create(m_shared->fs(), m_realPath);
    if (!folder)
        return untouched(ErrorKind::Io, QStringLiteral("无法在文档所在文件夹建立临时文件"));
    const QByteArray& work = (*folder)->path();
    QByteArray result;
    if (const Status rewritten = rewrite(work, &result); !rewritten.ok())
        return rewritten;
    if (result == m_realPath)
        return {}; // it already is what was asked for
    if (m_shared->stopRequested())
        return untouched(ErrorKind::Cancelled, QStringLiteral("运行已停止"));
    return replaceWithResult(m_shared->fs(), m_realPath, result);
}

class Application final : public platform::WordApplication {
public:
    explicit Application(std::shared_ptr<NativeWord::Shared> shared) : m_shared(std::move(shared)) {}

    void setEvents(platform::WordEvents* sink) override { m_sink = sink; }
    Status setVisible(bool) override { return m_ended ? ended() : Status{}; }
    Status open(const QByteArray& rawName, bool) override;

    Status quit() override
    {
        if (m_ended)
            return ended();
        m_ended = true;
        if (m_sink)
            m_sink->Quit();
        return {};
    }

private:
    static Status ended() { return Status::failure(ErrorKind::Cancelled, QStringLiteral("应用程序已退出")); }

    std::shared_ptr<NativeWord::Shared> m_shared;
    platform::WordEvents* m_sink = nullptr;
    bool m_ended = false;
};

Status Application::open(const QByteArray& rawName, bool)
{
    const QString fileName = platform::displayPath(rawName);
    if (m_ended)
        return ended();
    if (m_shared->stopRequested())
        return untouched(ErrorKind::Cancelled, QStringLiteral("运行已停止"));
    const platform::Result<CheckedDocument> checked = checkDocumentFile(m_shared->fs(), rawName, QString());
    if (!checked)
        return checked.status();
    std::optional<QString> current;
    if (checked->encrypted) {
        // Asked on the user-interface thread whatever thread the run is on; a prompt that
        // cannot be shown (the program is quitting) counts as cancelled.
        platform::interactWithUser([&] { current = m_shared->prompt.askPassword(fileName); });
        if (!current)
            return Status::failure(ErrorKind::Cancelled, QStringLiteral("文档需要打开密码，已取消"));
        if (const Status opens = checkOpenPassword(checked->realPath, *current); !opens.ok()) {
            if (opens.kind() == ErrorKind::Cancelled)
                return Status::failure(ErrorKind::Cancelled, QStringLiteral("打开密码不正确"));
            return untouched(ErrorKind::Failed,
                             QStringLiteral("不是有效的 Word 97-2003 文档(%1)").arg(opens.message()));
        }
    }
    Document document(m_shared, fileName, checked->realPath, current);
    if (m_sink)
        m_sink->DocumentOpen(document);
    return {};
}

} // namespace

NativeWord::NativeWord(platform::DocumentPasswordPrompt& prompt, platform::FileSystem* fileSystem)
    : m_shared(std::make_shared<Shared>(prompt, fileSystem))
{}

NativeWord::~NativeWord() = default;

platform::Result<std::shared_ptr<platform::WordApplication>> NativeWord::getObject(const QString& pathName)
{
    return Status::failure(ErrorKind::Failed, QStringLiteral("无法绑定到正在运行的 %1").arg(pathName));
}

platform::Result<std::shared_ptr<platform::WordApplication>> NativeWord::createObject(const QString&)
{
    return std::shared_ptr<platform::WordApplication>(std::make_shared<Application>(m_shared));
}

void NativeWord::setRunControl(platform::RunControl* control)
{
    m_shared->control.store(control);
}

} // namespace korvane::wordcrypt
