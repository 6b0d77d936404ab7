#include "wordcrypt/documentword.h"

#include "wordcrypt/nativecrypt.h"
#include "wordcrypt/nativeword.h"

#include <optional>

namespace korvane::wordcrypt {

using platform::Status;

namespace {

/// Sends each document to the backend that serves it; the office is started at the first
/// document that needs it, and a failure to start it is the answer for every later one.
class RoutedApplication final : public platform::WordApplication {
public:
    RoutedApplication(std::shared_ptr<platform::WordApplication> native, std::shared_ptr<LibreOfficeWord> office)
        : m_native(std::move(native)), m_officeWord(std::move(office))
    {}

    void setEvents(platform::WordEvents* sink) override
    {
        m_sink = sink;
        m_native->setEvents(sink);
        if (m_office)
            m_office->setEvents(sink);
    }
    Status setVisible(bool visible) override { return m_native->setVisible(visible); }

    Status open(const QByteArray& rawName, bool confirmConversions) override
    {
        if (!needsOffice(rawName))
            return m_native->open(rawName, confirmConversions);
        if (!m_office && !m_officeFailure) {
            platform::Result<std::shared_ptr<platform::WordApplication>> created =
                m_officeWord->createObject(QStringLiteral("word.Application"));
            if (created) {
                m_office = std::move(created).value();
                m_office->setEvents(m_sink);
            } else {
                m_officeFailure = created.status();
            }
        }
        return m_office ? m_office->open(rawName, confirmConversions) : *m_officeFailure;
    }

    Status quit() override
    {
        if (m_office) {
            m_office->setEvents(nullptr); // the run hears of one quit only
            m_office->quit();
            m_office.reset();
        }
        return m_native->quit();
    }

private:
    std::shared_ptr<platform::WordApplication> m_native;
    std::shared_ptr<LibreOfficeWord> m_officeWord;
    std::shared_ptr<platform::WordApplication> m_office;
    std::optional<Status> m_officeFailure;
    platform::WordEvents* m_sink = nullptr;
};

} // namespace

bool needsOffice(const platform::NativePath& document)
{
    return !nativelyServed(document);
}

DocumentWord::DocumentWord(LibreOfficeWord::Options options, platform::DocumentPasswordPrompt& prompt)
    : m_native(std::make_shared<NativeWord>(prompt, options.fileSystem)),
      m_office(std::make_shared<LibreOfficeWord>(std::move(options), prompt))
{}

DocumentWord::~DocumentWord() = default;

platform::Result<std::shared_ptr<platform::WordApplication>> DocumentWord::getObject(const QString& pathName)
{
    return m_native->getObject(pathName);
}

platform::Result<std::shared_ptr<platform::WordApplication>> DocumentWord::createObject(const QString& className)
{
    platform::Result<std::shared_ptr<platform::WordApplication>> native = m_native->createObject(className);
    if (!native)
        return native;
    return std::shared_ptr<platform::WordApplication>(
        std::make_shared<RoutedApplication>(std::move(native).value(), m_office));
}

void DocumentWord::setRunControl(platform::RunControl* control)
{
    m_native->setRunControl(control);
    m_office->setRunControl(control);
}

platform::WordAutomation& productionWord(const QString& helperFolder, platform::DocumentPasswordPrompt& prompt)
{
    static DocumentWord word({LibreOfficeWord::defaultHelper(helperFolder), {}}, prompt);
    return word;
}

} // namespace korvane::wordcrypt
