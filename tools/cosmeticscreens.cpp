// Pictures of what only a real display shows: a cut-off list entry and its tooltip, and the
// message boxes and the file dialog as a window manager frames them. Run under a display with
// a window manager:
//
//     korvane_cosmeticscreens <picture folder>

#include "batchlist/frmcompile.h"
#include "platform/widgets/cutofftips.h"
#include "platform/widgets/qtservices.h"

#include "screenshooting.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMessageBox>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

using namespace korvane;
using namespace korvane::shots;

namespace {

/// The compiler window with a long project path in its list, the pointer resting on it.
void longEntry(platform::Services& services, bool withTips, const QString& name)
{
    batchlist::frmCompile window(services);
    auto* list = window.findChild<QListWidget*>(QStringLiteral("List1"));
    if (!withTips)
        list->setItemDelegate(new QStyledItemDelegate(list)); // what every list had before
    for (const QString& path :
         {QStringLiteral("/home/用户/工程/主程序.vbp"),
          QStringLiteral("/home/用户/工程/二〇二四年/财务部/月度报表/汇总/报表 模块（最终版）.vbp")})
        window.addEntry({path, QFile::encodeName(path)});
    window.move(40, 40);
    window.show();
    window.raise();
    window.activateWindow(); // Qt shows tooltips in the active window only
    waitFor(800);
    const QRect item = list->visualRect(list->model()->index(1, 0));
    const QPoint at = list->viewport()->mapToGlobal(QPoint(item.left() + 60, item.center().y()));
    QCursor::setPos(at - QPoint(5, 5));
    waitFor(100);
    QCursor::setPos(at);
    waitFor(1800); // the pointer rests: Qt shows a tooltip after about 700 ms
    saveScreen(name);
    QCursor::setPos(0, 0);
}

/// Takes the picture once a modal box or dialog is up, then closes it.
void pictureOfNextModal(const QString& name, bool unfold = false)
{
    QTimer::singleShot(900, [name, unfold] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            pictureOfNextModal(name, unfold);
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal); box && unfold)
            for (QAbstractButton* button : box->buttons())
                if (box->buttonRole(button) == QMessageBox::ActionRole)
                    button->click();
        QTimer::singleShot(700, [modal, name] {
            saveScreen(name);
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
        });
    });
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    platform::installQtChineseTranslations();
    g_out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_out);
    QTemporaryDir dir;
    platform::QtServices real(QStringLiteral("korvane-shots"), dir.path(), dir.path());
    platform::Services& services = real.services();

    longEntry(services, false, QStringLiteral("list-long-entry-before.png"));
    longEntry(services, true, QStringLiteral("list-long-entry-after.png"));

    pictureOfNextModal(QStringLiteral("messagebox-details-folded.png"));
    services.messages.showWithDetails(nullptr, QStringLiteral("以下chm文件未能完整反编译:\n/home/用户/帮助/a.chm"),
                                      platform::MessageIcon::Information,
                                      QStringLiteral("/home/用户/帮助/a.chm: chm文件不完整"));
    pictureOfNextModal(QStringLiteral("messagebox-details-unfolded.png"), true);
    services.messages.showWithDetails(nullptr, QStringLiteral("以下chm文件未能完整反编译:\n/home/用户/帮助/a.chm"),
                                      platform::MessageIcon::Information,
                                      QStringLiteral("/home/用户/帮助/a.chm: chm文件不完整"));
    pictureOfNextModal(QStringLiteral("messagebox-narrow-title.png"));
    services.messages.show(nullptr, QStringLiteral("没有记录!"), platform::MessageIcon::None);

    // Files of 21.5 KiB and more in the folder the dialog opens on.
    const QString files = dir.filePath(QStringLiteral("图纸"));
    QDir().mkpath(files);
    for (const auto& [name, size] :
         {std::pair{"一层平面.dwg", 22016}, std::pair{"二层平面.dwg", 1536000}, std::pair{"说明.txt", 300}}) {
        QFile file(files + QLatin1Char('/') + QString::fromUtf8(name));
        if (file.open(QIODevice::WriteOnly))
            file.resize(size);
    }
    QDir::setCurrent(files);
    pictureOfNextModal(QStringLiteral("filedialog-size-column.png"));
    services.files.openFile(nullptr, QStringLiteral("图形文件(*.dwg)|*.dwg|所有文件|*.*"));
    return g_failures == 0 ? 0 : 1;
}
