#pragma once

#include "platform/choosers.h"
#include "platform/desktop.h"
#include "platform/filesystem.h"
#include "platform/messageboxes.h"
#include "platform/programstarter.h"
#include "platform/registry.h"
#include "platform/settingsstore.h"

#include <QString>

class QWidget;

namespace korvane::platform {

/// Everything a window reaches outside itself, handed in through its constructor so tests
/// can substitute scripted fakes.
struct Services {
    MessageBoxes& messages;
    FolderChooser& folders;
    FileChooser& files;
    InputBox& input;
    SettingsStore& settings;
    ProgramStarter& programs;
    Desktop& desktop;
    FileSystem& fs;
    Registry& registry;
    /// Korvane's folder (see datafolder.h): db1.mdb, setting.txt and readme.txt live here, and
    /// the "当前目录" buttons point here. Never the folder of an installed executable.
    QString programFolder;
    /// The main window, for placing tool windows relative to it; may be null in tests.
    QWidget* mainWindow = nullptr;
    /// Folder of the helper programs (korvane-chmextract, korvane-unohelper).
    QString helperFolder = {};

    /// The same services with `other` showing the message boxes.
    Services withMessages(MessageBoxes& other) const
    {
        return {other,   folders, files,    input,         settings,   programs,
                desktop, fs,      registry, programFolder, mainWindow, helperFolder};
    }
};

// withMessages() copies every field: a new one must be added there too.
static_assert(sizeof(Services) == 10 * sizeof(void*) + 2 * sizeof(QString));

} // namespace korvane::platform
