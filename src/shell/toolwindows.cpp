#include "shell/toolwindows.h"

#include "helpdecompiler/frmdecp.h"
#include "helpwindows/frmabout.h"
#include "helpwindows/frmtip.h"
#include "platform/services.h"
#include "shell/mdiform1.h"

namespace korvane::shell {

void registerToolWindows(MDIForm1& main, platform::Services& services)
{
    const bool& tipRequested = main.tipRequested();
    main.setToolWindow(QStringLiteral("menuTip"), {false, true, [&services, &tipRequested](QWidget* parent) -> QWidget* {
                           auto* tip = new helpwindows::frmTip(services, tipRequested, parent);
                           if (tip->closedWhileLoading()) {
                               delete tip;
                               return nullptr;
                           }
                           return tip;
                       }});
    main.setToolWindow(QStringLiteral("menudecompile"), {false, true, [&services](QWidget* parent) -> QWidget* {
                           return new helpdecompiler::Frmdecp(services, parent);
                       }});
    main.setToolWindow(QStringLiteral("menuabout"), {false, false, [&services](QWidget* parent) -> QWidget* {
                           return new helpwindows::frmAbout(services, parent);
                       }});
}

} // namespace korvane::shell
