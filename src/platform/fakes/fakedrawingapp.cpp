#include "platform/fakes/fakedrawingapp.h"

#include <QSet>

namespace korvane::platform {

struct FakeDrawingAutomation::State {
    FakeDrawingAutomation* owner = nullptr;
    QList<QPair<QString, QString>> faults; ///< member, argument ("" = any)
    int depth = 0;
    bool ended = false;
    DrawingAppEvents* sink = nullptr;

    void record(const QString& entry) { owner->log << QString(depth * 2, QLatin1Char(' ')) + entry; }
    bool fails(const QString& member, const QString& argument = {}) const
    {
        for (const auto& f : faults)
            if (f.first == member && (f.second.isEmpty() || f.second == argument))
                return true;
        return false;
    }
    /// Records a call and decides its fate: ended applications fail every call.
    Status enter(const QString& member, const QString& entry, const QString& argument = {})
    {
        record(entry);
        if (ended)
            return drawingFailure(QStringLiteral("自动化服务器已经退出"));
        if (fails(member, argument))
            return drawingFailure(errorFor(member));
        return {};
    }
};

namespace {

QString yesNo(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

class FakeParams final : public DrawingSecurityParams {
public:
    explicit FakeParams(FakeDrawingAutomation::State& s) : m_s(s) {}
    Status setAction(int v) override
    {
        return set("Action", QString::number(v), [&] { action = v; });
    }
    Status setAlgorithm(int v) override
    {
        return set("Algorithm", QString::number(v), [&] { algorithm = v; });
    }
    Status setKeyLength(int v) override
    {
        return set("KeyLength", QString::number(v), [&] { keyLength = v; });
    }
    Status setPassword(const QString& v) override
    {
        return set("Password", QLatin1Char('"') + v + QLatin1Char('"'), [&] { password = v; });
    }
    Status setProviderName(const QString& v) override
    {
        return set("ProviderName", QLatin1Char('"') + v + QLatin1Char('"'), [&] { providerName = v; });
    }
    Status setProviderType(int v) override
    {
        return set("ProviderType", QString::number(v), [&] { providerType = v; });
    }

    int action = 0, algorithm = 0, keyLength = 0, providerType = 0;
    QString password, providerName;

private:
    Status set(const char* member, const QString& value, const std::function<void()>& apply)
    {
        const QString name = QString::fromLatin1(member);
        Status status = m_s.enter(name, QStringLiteral("SecurityParams.%1 = %2").arg(name, value));
        if (status.ok())
            apply();
        return status;
    }
    FakeDrawingAutomation::State& m_s;
};

class FakeApp;

class FakeDocument final : public DrawingDocument, public std::enable_shared_from_this<FakeDocument> {
public:
    FakeDocument(FakeApp& app, QString fileName) : m_app(app), name(std::move(fileName)) {}
    Result<bool> active() override;
    Status saveAs(const QString& fileName, DrawingSecurityParams& params) override;
    Status close(bool saveChanges) override;

    FakeApp& m_app;
    QString name;
    bool closed = false;
    const FakeParams* protection = nullptr; ///< parameters it was last saved with
};

class FakeApp final : public DrawingApplication {
public:
    explicit FakeApp(FakeDrawingAutomation::State& state) : s(state) {}

    void setEventSink(DrawingAppEvents* sink) override { s.sink = sink; }

    Result<std::shared_ptr<DrawingSecurityParams>> GetInterfaceObject(const QString& progId) override
    {
        const Status status =
            s.enter(QStringLiteral("GetInterfaceObject"), QStringLiteral("GetInterfaceObject(%1)").arg(progId));
        if (!status.ok())
            return status;
        if (progId != QLatin1String("AutoCAD.SecurityParams.16"))
            return drawingFailure(QStringLiteral("未知的对象 ") + progId);
        auto params = std::make_shared<FakeParams>(s);
        m_params << params;
        return std::shared_ptr<DrawingSecurityParams>(params);
    }

    Status setVisible(bool visible) override
    {
        return s.enter(QStringLiteral("Visible"), QStringLiteral("Visible = %1").arg(yesNo(visible)));
    }

    Status open(const QString& name, bool readOnly) override
    {
        Status status =
            s.enter(QStringLiteral("Open"), QStringLiteral("Open(%1, ReadOnly=%2)").arg(name, yesNo(readOnly)), name);
        if (!status.ok())
            return status;
        auto document = std::make_shared<FakeDocument>(*this, name);
        docs << document;
        activeDoc = document;
        raise([&] { s.sink->EndOpen(name); }, QStringLiteral("EndOpen(%1)").arg(name));
        return {};
    }

    Result<QList<std::shared_ptr<DrawingDocument>>> documents() override
    {
        const Status status = s.enter(QStringLiteral("Documents"), QStringLiteral("Documents"));
        if (!status.ok())
            return status;
        QList<std::shared_ptr<DrawingDocument>> result;
        for (const auto& d : docs)
            result << d;
        return result;
    }

    Result<std::shared_ptr<DrawingDocument>> activeDocument() override
    {
        Status status = s.enter(QStringLiteral("ActiveDocument"), QStringLiteral("ActiveDocument"));
        if (status.ok() && !activeDoc)
            status = drawingFailure(QStringLiteral("没有活动的图纸"));
        if (!status.ok())
            return status;
        return std::shared_ptr<DrawingDocument>(activeDoc);
    }

    Status quit() override
    {
        Status status = s.enter(QStringLiteral("Quit"), QStringLiteral("Quit"));
        if (!status.ok())
            return status;
        bool cancel = false;
        raise([&] { s.sink->BeginQuit(cancel); }, QStringLiteral("BeginQuit"));
        if (cancel)
            return {};
        // Whatever is still open goes unsaved, as when the application ends.
        for (const auto& d : docs)
            d->closed = true;
        docs.clear();
        activeDoc.reset();
        s.ended = true;
        s.owner->running = false;
        s.record(QStringLiteral("(ended)"));
        return {};
    }

    /// Raises an event inside the current call.
    void raise(const std::function<void()>& deliver, const QString& entry)
    {
        ++s.depth;
        s.record(entry);
        if (s.sink) {
            ++s.depth;
            deliver();
            --s.depth;
        }
        --s.depth;
    }

    void write(FakeDocument& d, const QString& fileName, const FakeParams* params)
    {
        FakeDrawingAutomation::SavedDrawing& file = s.owner->files[fileName];
        ++file.saves;
        if (params)
            d.protection = params;
        if (const FakeParams* p = d.protection) {
            file.encrypted = p->action == 1 && !p->password.isEmpty();
            file.password = p->password;
            file.algorithm = p->algorithm;
            file.keyLength = p->keyLength;
            file.providerName = p->providerName;
            file.providerType = p->providerType;
        }
    }

    FakeDrawingAutomation::State& s;
    QList<std::shared_ptr<FakeDocument>> docs;
    std::shared_ptr<FakeDocument> activeDoc;
    QList<std::shared_ptr<FakeParams>> m_params;
};

Result<bool> FakeDocument::active()
{
    Status status = m_app.s.enter(QStringLiteral("Active"), QStringLiteral("Active(%1)").arg(name), name);
    if (status.ok() && closed)
        status = drawingFailure(QStringLiteral("图纸已关闭"));
    const bool value = status.ok() && m_app.activeDoc.get() == this;
    if (!status.ok())
        return status;
    m_app.s.owner->log.last() += QStringLiteral(" = ") + yesNo(value);
    return value;
}

Status FakeDocument::saveAs(const QString& fileName, DrawingSecurityParams& params)
{
    Status status =
        m_app.s.enter(QStringLiteral("SaveAs"), QStringLiteral("SaveAs(%1, SecurityParams)").arg(fileName), fileName);
    if (status.ok() && closed)
        status = drawingFailure(QStringLiteral("图纸已关闭"));
    if (!status.ok())
        return status;
    name = fileName;
    m_app.write(*this, fileName, dynamic_cast<FakeParams*>(&params));
    m_app.raise([&] { m_app.s.sink->EndSave(fileName); }, QStringLiteral("EndSave(%1)").arg(fileName));
    return {};
}

Status FakeDocument::close(bool saveChanges)
{
    Status status = m_app.s.enter(QStringLiteral("Close"),
                                  QStringLiteral("Close(%1, SaveChanges=%2)").arg(name, yesNo(saveChanges)), name);
    if (status.ok() && closed)
        status = drawingFailure(QStringLiteral("图纸已关闭"));
    if (!status.ok())
        return status;
    // Leaves the collection first, so handlers of the EndSave below no longer see it.
    closed = true;
    const auto self = shared_from_this();
    m_app.docs.removeAll(self);
    if (m_app.activeDoc == self)
        m_app.activeDoc = m_app.docs.isEmpty() ? nullptr : m_app.docs.last();
    if (saveChanges) {
        m_app.write(*this, name, nullptr);
        const QString saved = name;
        m_app.raise([&] { m_app.s.sink->EndSave(saved); }, QStringLiteral("EndSave(%1)").arg(saved));
    }
    return {};
}

} // namespace

FakeDrawingAutomation::FakeDrawingAutomation() : m_state(std::make_shared<State>())
{
    m_state->owner = this;
}

FakeDrawingAutomation::~FakeDrawingAutomation() = default;

void FakeDrawingAutomation::failOn(const QString& member, const QString& argument)
{
    m_state->faults << qMakePair(member, argument);
}

QStringList FakeDrawingAutomation::calls(const QString& member) const
{
    QStringList result;
    for (const QString& entry : log) {
        const QString bare = entry.trimmed();
        if (bare == member || bare.startsWith(member + QLatin1Char('(')) ||
            bare.startsWith(member + QLatin1String(" =")) ||
            bare.startsWith(QStringLiteral("SecurityParams.") + member + QLatin1String(" =")))
            result << bare;
    }
    return result;
}

void FakeDrawingAutomation::launch()
{
    m_state->ended = false;
    m_state->sink = nullptr;
    m_app = std::make_shared<FakeApp>(*m_state);
    running = true;
}

Result<std::shared_ptr<DrawingApplication>> FakeDrawingAutomation::bindByPathName(const QString& pathName)
{
    m_state->record(QStringLiteral("bind(%1)").arg(pathName));
    if (!running || !m_app || m_state->fails(QStringLiteral("bind")))
        return drawingFailure(QStringLiteral("无法绑定到 ") + pathName);
    return m_app;
}

Result<std::shared_ptr<DrawingApplication>> FakeDrawingAutomation::create(const QString& className)
{
    m_state->record(QStringLiteral("create(%1)").arg(className));
    if (!canCreate || m_state->fails(QStringLiteral("create")))
        return drawingFailure(createError);
    ++created;
    launch();
    return m_app;
}

} // namespace korvane::platform
