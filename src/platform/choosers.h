#pragma once

#include <QString>

class QWidget;

namespace korvane::platform {

/// Asks for one existing folder. Returns "" when the user cancels.
/// The root comes back as "/", every other folder without a trailing "/".
class FolderChooser {
public:
    virtual ~FolderChooser() = default;
    virtual QString chooseFolder(QWidget* parent, const QString& prompt) = 0;
};

/// Standard open and save dialogs. The filter is given in the "描述|*.ext|所有文件|*.*"
/// form; "" comes back when the user cancels.
class FileChooser {
public:
    virtual ~FileChooser() = default;
    virtual QString openFile(QWidget* parent, const QString& filter) = 0;
    virtual QString saveFile(QWidget* parent, const QString& filter) = 0;
};

/// Asks for one line of text. Returns "" when the user cancels, like the original input box.
class InputBox {
public:
    virtual ~InputBox() = default;
    virtual QString ask(QWidget* parent, const QString& prompt, const QString& title, const QString& defaultText) = 0;
};

/// Translates "Text files|*.txt|All|*.*" into Qt's "Text files (*.txt);;All (*)".
/// "*.*" means every file, so it becomes "*". A trailing description without pattern is dropped.
QString toQtFileFilter(const QString& pipeFilter);

} // namespace korvane::platform
