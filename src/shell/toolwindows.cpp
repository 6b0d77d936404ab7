#include "shell/toolwindows.h"

#include "components/frmregsvr.h"
#include "batchlist/frmcompile.h"
#include "batchlist/frmjmdwg.h"
#include "drawingviewer/frmseedwg.h"
#include "filemanager/frmmove.h"
#include "helpdecompiler/frmdecp.h"
#include "helpwindows/frmabout.h"
#include "helpwindows/frmtip.h"
#include "platform/services.h"
#include "recorder/frmrec.h"
#include "shell/mdiform1.h"
#include "wordcrypt/frmjmword.h"
#include "wordcrypt/passwordprompt.h"

namespace korvane::shell {

void registerToolWindows(MDIForm1& main, platform::Services& services)
{
    // {modal, owned by the main window, factory[, listed in the taskbar: yes unless "false"]}
    const bool& tipRequested = main.tipRequested();
    main.setToolWindow(QStringLiteral("menuTip"), {false, true, [&services, &tipRequested](QWidget* parent) -> QWidget* {
                           auto* tip = new helpwindows::frmTip(services, tipRequested, parent);
                           if (tip->closedWhileLoading()) {
                               delete tip;
                               return nullptr;
                           }
                           return tip;
                       }, false});
    main.setToolWindow(QStringLiteral("menudecompile"), {false, true, [&services](QWidget* parent) -> QWidget* {
                           return new helpdecompiler::Frmdecp(services, parent);
                       }});
    main.setToolWindow(QStringLiteral("menuabout"), {false, false, [&services](QWidget* parent) -> QWidget* {
                           return new helpwindows::frmAbout(services, parent);
                       }, false});
    main.setToolWindow(QStringLiteral("menureg"), {false, false, [&services](QWidget* parent) -> QWidget* {
                           return new components::Frmregsvr(services, parent);
                       }});
    main.setToolWindow(QStringLiteral("menuCpVb"), {false, true, [&services](QWidget* parent) -> QWidget* {
                           return new batchlist::frmCompile(services, parent);
                       }, false});
    main.setToolWindow(QStringLiteral("menujmdwg"), {true, true, [&services](QWidget* parent) -> QWidget* {
                           return new batchlist::frmjmdwg(services, platform::productionDrawingAutomation(), parent);
                       }, false});
    main.setToolWindow(QStringLiteral("menuRec"), {true, true, [&services](QWidget* parent) -> QWidget* {
                           return new recorder::frmrec(services, parent);
                       }, false});
    main.setToolWindow(QStringLiteral("menuviewdwg"), {false, true, [&services](QWidget* parent) -> QWidget* {
                           return new drawingviewer::Frmseedwg(services, parent);
                       }});
    main.setToolWindow(QStringLiteral("menumove"), {false, false, [&services](QWidget* parent) -> QWidget* {
                           return new filemanager::frmmove(services, parent);
                       }});
    main.setToolWindow(QStringLiteral("menujmword"), {true, true, [&services](QWidget* parent) -> QWidget* {
                           return new wordcrypt::frmjmword(services, wordcrypt::productionWord(services.helperFolder), parent);
                       }, false});
}

} // namespace korvane::shell
