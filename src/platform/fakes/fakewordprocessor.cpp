#include "platform/fakes/fakewordprocessor.h"

#include "platform/fakes/fakeservices.h"
#include "platform/interaction.h"

namespace korvane::platform {

namespace {

class FakeDocument final : public WordDocument {
public:
    FakeDocument(FakeWordAutomation& owner, QString path) : m_owner(owner), m_path(std::move(path)) {}

    QString fullName() const override { return m_path; }

    Status setPassword(const QString& password) override
    {
        m_owner.record(QStringLiteral("Password=") + password);
        if (m_owner.fails(QStringLiteral("Password"), m_path))
            return Status::failure(ErrorKind::Injected, QStringLiteral("无法设置打开密码"));
        m_password = password;
        return {};
    }

    Status setWritePassword(const QString& password) override
    {
        m_owner.record(QStringLiteral("WritePassword=") + password);
        if (m_owner.fails(QStringLiteral("WritePassword"), m_path))
            return Status::failure(ErrorKind::Injected, QStringLiteral("无法设置写密码"));
        m_writePassword = password;
        return {};
    }

    Status save() override
    {
        m_owner.record(QStringLiteral("Save"));
        if (m_closed || m_owner.fails(QStringLiteral("Save"), m_path))
            return Status::failure(ErrorKind::Injected, QStringLiteral("文档无法保存"));
        m_owner.saved.insert(m_path, {m_password, m_writePassword});
        return {};
    }

    Status close() override
    {
        m_owner.record(QStringLiteral("Close"));
        if (m_closed || m_owner.fails(QStringLiteral("Close"), m_path))
            return Status::failure(ErrorKind::Injected, QStringLiteral("文档无法关闭"));
        m_closed = true;
        --m_owner.openDocuments;
        return {};
    }

    bool closed() const { return m_closed; }
    QString savedAs() const override
    {
        return m_owner.saved.contains(m_path) && m_owner.converted.contains(m_path)
                   ? QStringLiteral("已转存为Word 97格式")
                   : QString();
    }

private:
    FakeWordAutomation& m_owner;
    QString m_path;
    QString m_password;
    QString m_writePassword;
    bool m_closed = false;
};

class FakeApplication final : public WordApplication {
public:
    explicit FakeApplication(FakeWordAutomation& owner) : m_owner(owner) {}

    void setEvents(WordEvents* sink) override { m_sink = sink; }

    Status setVisible(bool visible) override
    {
        m_owner.record(QStringLiteral("Visible=") + (visible ? QStringLiteral("true") : QStringLiteral("false")));
        return m_ended ? Status::failure(ErrorKind::Io, QStringLiteral("应用程序已退出")) : Status{};
    }

    Status open(const QByteArray& rawName, bool confirmConversions) override
    {
        const QString fileName = QString::fromUtf8(rawName);
        m_owner.record(QStringLiteral("Open ") + fileName +
                       (confirmConversions ? QString() : QStringLiteral(" ConfirmConversions=false")));
        if (m_ended)
            return Status::failure(ErrorKind::Io, QStringLiteral("应用程序已退出"));
        auto failing = m_owner.openFailures.find(fileName);
        if (failing != m_owner.openFailures.end() && failing.value() != 0) {
            if (failing.value() > 0)
                --failing.value();
            return Status::failure(ErrorKind::Injected, QStringLiteral("无法打开文档"));
        }
        if (const auto needed = m_owner.openPasswords.constFind(fileName); needed != m_owner.openPasswords.cend()) {
            std::optional<QString> given;
            if (m_owner.prompt)
                interactWithUser([&] { given = m_owner.prompt->askPassword(fileName); });
            if (!given)
                return Status::failure(ErrorKind::Cancelled, QStringLiteral("文档需要打开密码，已取消"));
            if (*given != needed.value())
                return Status::failure(ErrorKind::Cancelled, QStringLiteral("打开密码不正确"));
        }
        FakeDocument document(m_owner, fileName);
        ++m_owner.openDocuments;
        if (m_sink)
            m_sink->DocumentOpen(document);
        if (!document.closed())
            --m_owner.openDocuments; // the fake forgets documents left open
        m_owner.record(QStringLiteral("Open returns"));
        return {};
    }

    Status quit() override
    {
        m_owner.record(QStringLiteral("Quit"));
        if (m_ended || m_owner.quitFails)
            return Status::failure(ErrorKind::Io, QStringLiteral("应用程序已退出"));
        m_ended = true;
        if (m_sink)
            m_sink->Quit();
        return {};
    }

private:
    FakeWordAutomation& m_owner;
    WordEvents* m_sink = nullptr;
    bool m_ended = false;
};

} // namespace

void FakeWordAutomation::record(const QString& call)
{
    calls << call;
    if (onCall)
        onCall(call);
}

Result<std::shared_ptr<WordApplication>> FakeWordAutomation::getObject(const QString& pathName)
{
    record(QStringLiteral("GetObject ") + pathName);
    if (!bindSucceeds)
        return Status::failure(ErrorKind::Failed, QStringLiteral("找不到正在运行的对象"));
    ++applicationsCreated;
    return std::shared_ptr<WordApplication>(std::make_shared<FakeApplication>(*this));
}

Result<std::shared_ptr<WordApplication>> FakeWordAutomation::createObject(const QString& className)
{
    record(QStringLiteral("CreateObject ") + className);
    if (!createError.isEmpty())
        return Status::failure(ErrorKind::Injected, createError);
    ++applicationsCreated;
    return std::shared_ptr<WordApplication>(std::make_shared<FakeApplication>(*this));
}

std::optional<QString> FakeDocumentPasswordPrompt::askPassword(const QString& fileName)
{
    requireUserInterfaceThread("FakeDocumentPasswordPrompt");
    asked << fileName;
    if (answers.isEmpty())
        return std::nullopt;
    return answers.dequeue();
}

} // namespace korvane::platform
