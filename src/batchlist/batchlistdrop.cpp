#include "batchlist/batchlistwindow.h"

#include "platform/nativepath.h"
#include "platform/widgets/backgroundrun.h"

namespace korvane::batchlist {

using platform::MessageIcon;

/// A dropped file is added as a typed path is (any type, a duplicate refused with the list's
/// message); a dropped folder is walked for the window's file types as a chosen one is, all
/// the dropped folders in one run.
void BatchListWindow::addDropped(const QList<platform::NativePath>& paths)
{
    std::vector<platform::NativePath> folders;
    BatchList::AddResult refused = BatchList::AddResult::Added;
    for (const platform::NativePath& path : paths) {
        const platform::Result<platform::FileInfo> info = m_services.fs.info(path, platform::Links::Follow);
        if (info && info->kind == platform::EntryKind::Folder)
            folders.push_back(path);
        else if (const BatchList::AddResult added = addEntry({platform::displayPath(path), path});
                 added != BatchList::AddResult::Added)
            refused = added; // said once, after the rest went in
    }
    refreshCount();
    if (refused != BatchList::AddResult::Added)
        m_services.messages.show(this,
                                 refused == BatchList::AddResult::Full ? limitMessage() : m_config.duplicateMessage,
                                 MessageIcon::Information);
    if (folders.empty())
        return;
    const bool started = walkFolders(std::move(folders));
    Q_UNUSED(started); // a drop during a run reaches no control: the window's are disabled
}

} // namespace korvane::batchlist
