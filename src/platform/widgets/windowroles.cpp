#include "platform/widgets/windowroles.h"
#include "platform/widgets/x11.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <xcb/xcb.h>

namespace korvane::platform {

namespace {

/// Adds "skip taskbar" to the state of a window that is not mapped yet. Qt keeps states it
/// finds there when it maps the window.
void addSkipTaskbar(xcb_connection_t* c, xcb_window_t window)
{
    const xcb_atom_t state = internAtom(c, "_NET_WM_STATE");
    const xcb_atom_t skip = internAtom(c, "_NET_WM_STATE_SKIP_TASKBAR");
    if (state == XCB_ATOM_NONE || skip == XCB_ATOM_NONE)
        return;
    std::vector<xcb_atom_t> atoms;
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, state, XCB_ATOM_ATOM, 0, 1024), nullptr);
    if (reply && reply->format == 32 && reply->type == XCB_ATOM_ATOM) {
        const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        atoms.assign(values, values + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    for (xcb_atom_t a : atoms)
        if (a == skip)
            return;
    atoms.push_back(skip);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, state, XCB_ATOM_ATOM, 32, uint32_t(atoms.size()),
                        atoms.data());
    xcb_flush(c);
}

void setTransientFor(xcb_connection_t* c, xcb_window_t window, xcb_window_t owner)
{
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32, 1, &owner);
    xcb_flush(c);
}

/// Reapplies the role around each showing: the state before the window is mapped, the owner
/// after, because Qt clears WM_TRANSIENT_FOR on every showing of a window that is not a dialog.
class RoleKeeper final : public QObject {
public:
    RoleKeeper(QWidget* window, QWidget* owner, bool listed)
        : QObject(window), m_window(window), m_owner(owner), m_listed(listed)
    {
        window->installEventFilter(this);
    }

    void beforeMap()
    {
        if (xcb_connection_t* c = x11Connection(); c && !m_listed)
            addSkipTaskbar(c, xcb_window_t(m_window->winId()));
    }

    void afterMap()
    {
        xcb_connection_t* c = x11Connection();
        if (!c || !m_window || !m_owner || !m_window->isVisible())
            return;
        setTransientFor(c, xcb_window_t(m_window->winId()), xcb_window_t(m_owner->window()->winId()));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // The widget's show event comes after its native window exists and before it is mapped.
        if (watched == m_window && event->type() == QEvent::Show && m_window->isWindow()) {
            beforeMap();
            QMetaObject::invokeMethod(
                this, [this] { afterMap(); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    QPointer<QWidget> m_window;
    QPointer<QWidget> m_owner;
    bool m_listed;
};

} // namespace

void setWindowRole(QWidget* window, QWidget* owner, bool listedInTaskbar)
{
    if (!window)
        return;
    if (!owner && (window->windowType() == Qt::Dialog || window->windowType() == Qt::Tool)) {
        // Qt makes an ownerless dialog transient for the whole program; an independent
        // window is a plain one.
        window->setWindowFlags((window->windowFlags() & ~Qt::WindowType_Mask) | Qt::Window);
    }
    auto* keeper = new RoleKeeper(window, owner, listedInTaskbar);
    if (window->isVisible()) {
        keeper->afterMap();
    }
}

void bringToFront(QWidget* window)
{
    window->raise();
    window->activateWindow();
    xcb_connection_t* c = x11Connection();
    if (!c)
        return;
    const xcb_atom_t active = internAtom(c, "_NET_ACTIVE_WINDOW");
    if (active == XCB_ATOM_NONE)
        return;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = xcb_window_t(window->winId());
    message.type = active;
    message.data.data32[0] = 2; // from a pager: the user asked for it
    message.data.data32[1] = XCB_CURRENT_TIME;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c);
}

QMargins expectedFrameMargins(QWidget* window)
{
    xcb_connection_t* c = x11Connection();
    if (!c || !window)
        return {};
    const xcb_atom_t request = internAtom(c, "_NET_REQUEST_FRAME_EXTENTS");
    const xcb_atom_t extents = internAtom(c, "_NET_FRAME_EXTENTS");
    if (request == XCB_ATOM_NONE || extents == XCB_ATOM_NONE)
        return {};
    const auto id = xcb_window_t(window->winId());
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = id;
    message.type = request;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&message));
    xcb_flush(c);
    // The window manager answers by setting the property; a short wait, never a hang.
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 200) {
        xcb_get_property_reply_t* reply =
            xcb_get_property_reply(c, xcb_get_property(c, 0, id, extents, XCB_ATOM_CARDINAL, 0, 4), nullptr);
        QMargins margins;
        bool answered = false;
        if (reply && reply->format == 32 && xcb_get_property_value_length(reply) == 16) {
            const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(reply));
            margins = QMargins(int(v[0]), int(v[2]), int(v[1]), int(v[3])); // left, right, top, bottom
            answered = true;
        }
        std::free(reply);
        if (answered)
            return margins;
        QThread::msleep(5);
    }
    return {};
}

} // namespace korvane::platform
