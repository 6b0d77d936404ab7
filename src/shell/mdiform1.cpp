#include "shell/mdiform1.h"

#include "platform/services.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/placement.h"
#include "platform/widgets/shutdown.h"
#include "platform/widgets/windowroles.h"
#include "shell/artwork.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMdiArea>
#include <QMenuBar>
#include <QScreen>
#include <exception>
#include <unistd.h>

namespace korvane::shell {

namespace {

struct MenuItem {
    const char* name;
    const char* caption; ///< "-" for a separator
};

struct Menu {
    const char* name;
    const char* caption;
    std::initializer_list<MenuItem> items;
};

const Menu kMenus[] = {
    {"menuFile",
     "文件工具(&F)",
     {{"menuRec", "文件信息记录(&R)"}, {"menumove", "文件批量管理(&M)"}, {"g1", "-"}, {"menuexit", "退出(&X)"}}},
    {"menuview", "文件查看(&V)", {{"menuviewdwg", "DWG文件(&D)"}}},
    {"v1",
     "系统工具(&S)",
     {{"menujmword", "批量加密Word文档(&W)"},
      {"menujmdwg", "批量加密AutoCAD文档(&A)"},
      {"menureg", "ocx,dll批量注册(&O)"}}},
    {"v2", "编程工具(&T)", {{"menudecompile", "chm文件批量反编译(&D)"}, {"menuCpVb", "批量编译VB6工程(&C)"}}},
    {"menuHelp", "帮助(&H)", {{"menuTip", "每日一帖(&X)"}, {"menuabout", "关于(&A)"}}},
};

} // namespace

MDIForm1::MDIForm1(platform::Services& services, QWidget* parent) : QMainWindow(parent), m_services(services)
{
    setObjectName(QStringLiteral("MDIForm1"));
    setWindowTitle(QStringLiteral("Korvane V1.0.0"));
    setWindowIcon(suiteIcon());

    auto* workspace = new QMdiArea(this);
    workspace->setObjectName(QStringLiteral("workspace"));
    workspace->setBackground(QApplication::palette().brush(QPalette::Dark)); // application-workspace colour
    setCentralWidget(workspace);
    buildMenu();
    // 6690 x 4245 twips of client area below the menu.
    resize(446, 283 + menuBar()->sizeHint().height());
    // The close box must work while a tool window's box is up too: it ends the program then.
    platform::passBlockedCloses(this, [this] { quitGracefully(); });
}

void MDIForm1::buildMenu()
{
    for (const Menu& m : kMenus) {
        QMenu* menu = menuBar()->addMenu(QString::fromUtf8(m.caption));
        menu->setObjectName(QString::fromUtf8(m.name));
        menu->menuAction()->setObjectName(QString::fromUtf8(m.name));
        for (const MenuItem& item : m.items) {
            QAction* action = QString::fromUtf8(item.caption) == QLatin1String("-")
                                  ? menu->addSeparator()
                                  : menu->addAction(QString::fromUtf8(item.caption));
            const QString name = QString::fromUtf8(item.name);
            action->setObjectName(name);
            if (action->isSeparator())
                continue;
            if (name == QLatin1String("menuexit"))
                connect(action, &QAction::triggered, this, &MDIForm1::menuexit_Click);
            else if (name == QLatin1String("menuTip"))
                connect(action, &QAction::triggered, this, &MDIForm1::menuTip_Click);
            else
                connect(action, &QAction::triggered, this, [this, name] { showToolWindow(name); });
        }
    }
}

void MDIForm1::setToolWindow(const QString& menuItem, ToolWindowBinding binding)
{
    m_bindings.insert(menuItem, std::move(binding));
}

QWidget* MDIForm1::toolWindow(const QString& menuItem) const
{
    return m_windows.value(menuItem).data();
}

QWidget* MDIForm1::showToolWindow(const QString& menuItem)
{
    if (QWidget* loaded = toolWindow(menuItem)) {
        // A minimised window would stay out of sight: restore it as well.
        loaded->setWindowState(loaded->windowState() & ~Qt::WindowMinimized);
        loaded->show();
        loaded->raise();
        loaded->activateWindow();
        return loaded;
    }
    const auto it = m_bindings.constFind(menuItem);
    if (it == m_bindings.constEnd() || !it->create)
        return nullptr; // not built yet: the command does nothing
    QWidget* window = nullptr;
    try {
        window = it->create(it->ownedByMain ? this : nullptr);
    } catch (const std::exception& e) {
        m_services.messages.show(this, QStringLiteral("无法打开窗口: ") + QString::fromLocal8Bit(e.what()),
                                 platform::MessageIcon::Information);
        return nullptr;
    }
    if (!window)
        return nullptr;
    window->setWindowFlag(Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    if (it->modal)
        window->setWindowModality(Qt::ApplicationModal);
    // A Qt parent alone does not make the window manager keep an owned window above the main
    // window or minimise it along.
    platform::setWindowRole(window, it->ownedByMain ? this : nullptr, it->listedInTaskbar);
    m_windows.insert(menuItem, window);
    // The window's own rule has placed it; on a small screen that can be partly off it. Checked
    // again once shown, when the frame is known rather than announced.
    platform::keepOnScreen(window);
    window->show();
    platform::keepOnScreen(window);
    platform::onceFramed(window, [window] { platform::keepOnScreen(window); });
    window->raise();
    window->activateWindow();
    return window;
}

void MDIForm1::Form_Load()
{
    // Errors in any step are ignored and the next step runs.
    if (const QScreen* screen = this->screen()) {
        const QRect area = screen->geometry();
        // Centred by the outer frame. Before the first showing the window manager is asked for
        // the frame it will add, and the client area is placed inside it.
        const QMargins frame = isVisible() ? QMargins() : platform::expectedFrameMargins(this);
        const QSize size = isVisible() ? frameGeometry().size() : this->size().grownBy(frame);
        move(area.left() + area.width() / 2 - size.width() / 2 + frame.left(),
             area.top() + area.height() / 2 - size.height() / 2 + frame.top());
    }
    showToolWindow(QStringLiteral("menuTip"));
}

void MDIForm1::start()
{
    Form_Load();
    show();
}

void MDIForm1::menuTip_Click()
{
    m_services.desktop.beep();
    m_tipRequested = true;
    showToolWindow(QStringLiteral("menuTip"));
}

void MDIForm1::menuexit_Click()
{
    // Ends at once: no window's close or unload handling runs. With a run in flight that would
    // leave its file in hand half copied, so the runs are stopped and the windows unload first.
    if (platform::BackgroundRun::runsInFlight().isEmpty())
        m_exit();
    else
        platform::stopRunsThenQuit(this, platform::closeWindowsAndQuit);
}

void MDIForm1::quitGracefully()
{
    platform::stopRunsThenQuit(this, platform::closeWindowsAndQuit);
}

void MDIForm1::closeEvent(QCloseEvent* event)
{
    if (platform::BackgroundRun::runsInFlight().isEmpty()) {
        QMainWindow::closeEvent(event);
        return;
    }
    // An owned window would refuse its close during its run, and with it the program's end.
    event->ignore();
    platform::stopRunsThenQuit(this, platform::closeWindowsAndQuit);
}

} // namespace korvane::shell
