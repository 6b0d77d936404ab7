#include "shell/toolwindows.h"

#include "batchlist/frmcompile.h"
#include "batchlist/frmjmdwg.h"
#include "components/frmregsvr.h"
#include "drawingviewer/frmseedwg.h"
#include "filemanager/frmmove.h"
#include "helpdecompiler/frmdecp.h"
#include "helpwindows/frmabout.h"
#include "helpwindows/frmtip.h"
#include "platform/services.h"
#include "recorder/frmrec.h"
#include "shell/mdiform1.h"
#include "wordcrypt/documentword.h"
#include "wordcrypt/frmjmword.h"
#include "wordcrypt/passwordprompt.h"

namespace korvane::shell {

namespace {

/// The factory of a window whose constructor takes only the services and its parent.
template <typename Window> std::function<QWidget*(QWidget*)> factoryOf(platform::Services& services)
{
    return [&services](QWidget* parent) -> QWidget* { return new Window(services, parent); };
}

} // namespace

void registerToolWindows(MDIForm1& main, platform::Services& services)
{
    const bool& tipRequested = main.tipRequested();
    main.setToolWindow(QStringLiteral("menuTip"), {.modal = false,
                                                   .ownedByMain = true,
                                                   .listedInTaskbar = false,
                                                   .create = [&services, &tipRequested](QWidget* parent) -> QWidget* {
                                                       auto* tip =
                                                           new helpwindows::frmTip(services, tipRequested, parent);
                                                       if (tip->closedWhileLoading()) {
                                                           delete tip;
                                                           return nullptr;
                                                       }
                                                       return tip;
                                                   }});
    main.setToolWindow(QStringLiteral("menudecompile"), {.modal = false,
                                                         .ownedByMain = true,
                                                         .listedInTaskbar = true,
                                                         .create = factoryOf<helpdecompiler::Frmdecp>(services)});
    main.setToolWindow(QStringLiteral("menuabout"), {.modal = false,
                                                     .ownedByMain = false,
                                                     .listedInTaskbar = false,
                                                     .create = factoryOf<helpwindows::frmAbout>(services)});
    main.setToolWindow(QStringLiteral("menureg"), {.modal = false,
                                                   .ownedByMain = false,
                                                   .listedInTaskbar = true,
                                                   .create = factoryOf<components::Frmregsvr>(services)});
    main.setToolWindow(QStringLiteral("menuCpVb"), {.modal = false,
                                                    .ownedByMain = true,
                                                    .listedInTaskbar = false,
                                                    .create = factoryOf<batchlist::frmCompile>(services)});
    main.setToolWindow(QStringLiteral("menujmdwg"),
                       {.modal = true,
                        .ownedByMain = true,
                        .listedInTaskbar = false,
                        .create = [&services](QWidget* parent) -> QWidget* {
                            return new batchlist::frmjmdwg(services, platform::productionDrawingAutomation(), parent);
                        }});
    main.setToolWindow(QStringLiteral("menuRec"), {.modal = true,
                                                   .ownedByMain = true,
                                                   .listedInTaskbar = false,
                                                   .create = factoryOf<recorder::frmrec>(services)});
    main.setToolWindow(QStringLiteral("menuviewdwg"), {.modal = false,
                                                       .ownedByMain = true,
                                                       .listedInTaskbar = true,
                                                       .create = factoryOf<drawingviewer::Frmseedwg>(services)});
    main.setToolWindow(QStringLiteral("menumove"), {.modal = false,
                                                    .ownedByMain = false,
                                                    .listedInTaskbar = true,
                                                    .create = factoryOf<filemanager::frmmove>(services)});
    main.setToolWindow(QStringLiteral("menujmword"),
                       {.modal = true,
                        .ownedByMain = true,
                        .listedInTaskbar = false,
                        .create = [&services](QWidget* parent) -> QWidget* {
                            return new wordcrypt::frmjmword(
                                services,
                                wordcrypt::productionWord(services.helperFolder, wordcrypt::productionPrompt()),
                                wordcrypt::productionPrompt(), parent);
                        }});
}

} // namespace korvane::shell
