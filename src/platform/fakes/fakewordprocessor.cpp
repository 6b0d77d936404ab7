#include "platform/fakes/fakewordprocessor.h"

namespace korvane::platform {

namespace {

class FakeDocument final : public WordDocument {
public:
    FakeDocument(FakeWordAutomation& owner, QString path) : m_owner(owner), m_path(std::move(path)) {}

    QString fullName() const override { return m_path; }

    WordResult setPassword(const QString& password) override {
        m_owner.record(QStringLiteral("Password=") + password);
        if (m_owner.fails(QStringLiteral("Password"), m_path))
            return WordResult::failure(QStringLiteral("无法设置打开密码"));
        m_password = password;
        return {};
    }

    WordResult setWritePassword(const QString& password) override {
        m_owner.record(QStringLiteral("WritePassword=") + password);
        if (m_owner.fails(QStringLiteral("WritePassword"), m_path))
            return WordResult::failure(QStringLiteral("无法设置写密码"));
        m_writePassword = password;
        return {};
    }

    WordResult save() override {
        m_owner.record(QStringLiteral("Save"));
        if (m_closed || m_owner.fails(QStringLiteral("Save"), m_path))
            return WordResult::failure(QStringLiteral("文档无法保存"));
        m_owner.saved.insert(m_path, {m_password, m_writePassword});
        return {};
    }

    WordResult close() override {
        m_owner.record(QStringLiteral("Close"));
        if (m_closed || m_owner.fails(QStringLiteral("Close"), m_path))
            return WordResult::failure(QStringLiteral("文档无法关闭"));
        m_closed = true;
        --m_owner.openDocuments;
        return {};
    }

    bool closed() const { return m_closed; }

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

    WordResult setVisible(bool visible) override {
        m_owner.record(QStringLiteral("Visible=") +
                       (visible ? QStringLiteral("true") : QStringLiteral("false")));
        return m_ended ? WordResult::failure(QStringLiteral("应用程序已退出")) : WordResult{};
    }

    WordResult open(const QByteArray& rawName, bool confirmConversions) override {
        const QString fileName = QString::fromUtf8(rawName);
        m_owner.record(QStringLiteral("Open ") + fileName +
                       (confirmConversions ? QString() : QStringLiteral(" ConfirmConversions=false")));
        if (m_ended)
            return WordResult::failure(QStringLiteral("应用程序已退出"));
        auto failing = m_owner.openFailures.find(fileName);
        if (failing != m_owner.openFailures.end() && failing.value() != 0) {
            if (failing.value() > 0)
                --failing.value();
            return WordResult::failure(QStringLiteral("无法打开文档"));
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

    WordResult quit() override {
        m_owner.record(QStringLiteral("Quit"));
        if (m_ended || m_owner.quitFails)
            return WordResult::failure(QStringLiteral("应用程序已退出"));
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

void FakeWordAutomation::record(const QString& call) {
    calls << call;
    if (onCall)
        onCall(call);
}

std::shared_ptr<WordApplication> FakeWordAutomation::getObject(const QString& pathName, QString* error) {
    record(QStringLiteral("GetObject ") + pathName);
    if (!bindSucceeds) {
        if (error)
            *error = QStringLiteral("找不到正在运行的对象");
        return nullptr;
    }
    ++applicationsCreated;
    return std::make_shared<FakeApplication>(*this);
}

std::shared_ptr<WordApplication> FakeWordAutomation::createObject(const QString& className, QString* error) {
    record(QStringLiteral("CreateObject ") + className);
    if (!createError.isEmpty()) {
        if (error)
            *error = createError;
        return nullptr;
    }
    ++applicationsCreated;
    return std::make_shared<FakeApplication>(*this);
}

std::optional<QString> FakeDocumentPasswordPrompt::askPassword(const QString& fileName) {
    asked << fileName;
    if (answers.isEmpty())
        return std::nullopt;
    return answers.dequeue();
}

} // namespace korvane::platform
