#include "components/wineenv.h"

#include "platform/nativepath.h"
#include "platform/programstarter.h"

namespace korvane::components {

using platform::NativePath;

QString WineEnvironment::systemFolder(bool is64) const
{
    // A 64-bit prefix keeps its 32-bit system files apart; a 32-bit one has only system32.
    const bool wow = prefix64 && !is64;
    return prefix + (wow ? QStringLiteral("/drive_c/windows/syswow64") : QStringLiteral("/drive_c/windows/system32"));
}

QStringList defaultWineLibraryFolders()
{
    return {QStringLiteral("/usr/lib/x86_64-linux-gnu/wine"),
            QStringLiteral("/usr/lib/i386-linux-gnu/wine"),
            QStringLiteral("/usr/lib/wine"),
            QStringLiteral("/usr/lib64/wine"),
            QStringLiteral("/usr/lib32/wine"),
            QStringLiteral("/usr/local/lib/wine"),
            QStringLiteral("/opt/wine-stable/lib/wine"),
            QStringLiteral("/opt/wine-stable/lib64/wine")};
}

QSet<QString> lowerCaseNames(platform::FileSystem& fs, const NativePath& folder)
{
    QSet<QString> names;
    const auto entries = fs.list(folder);
    if (!entries)
        return names;
    for (const platform::DirEntry& entry : *entries) {
        if (entry.kind == platform::EntryKind::File)
            names.insert(platform::displayPath(entry.name).toLower());
    }
    return names;
}

namespace {

/// Wine's own DLLs in one architecture folder: PE files named as Windows names them, and
/// Unix-side builtins named "x.dll.so".
void addBuiltins(QSet<QString>& into, const QSet<QString>& names)
{
    for (QString name : names) {
        if (name.endsWith(QLatin1String(".so")))
            name.chop(3);
        if (name.contains(QLatin1Char('.')))
            into.insert(name);
    }
}

} // namespace

WineEnvironment detectWine(platform::FileSystem& fs, platform::ProgramStarter& programs,
                           const QStringList& libraryFolders, const QString& prefix)
{
    WineEnvironment wine;
    wine.wine = programs.findExecutable(QStringLiteral("wine"));
    wine.prefix = prefix;
    for (const QString& folder : libraryFolders) {
        const NativePath base = platform::nativePath(folder);
        addBuiltins(wine.builtin32, lowerCaseNames(fs, base + "/i386-windows"));
        addBuiltins(wine.builtin32, lowerCaseNames(fs, base + "/i386-unix"));
        addBuiltins(wine.builtin64, lowerCaseNames(fs, base + "/x86_64-windows"));
        addBuiltins(wine.builtin64, lowerCaseNames(fs, base + "/x86_64-unix"));
    }
    const QString ntdll = QStringLiteral("ntdll.dll");
    wine.run32 = !wine.wine.isEmpty() && wine.builtin32.contains(ntdll);
    wine.run64 = !wine.wine.isEmpty() && wine.builtin64.contains(ntdll);
    // An existing prefix says what it is; a new one is made 64-bit when Wine can, unless
    // WINEARCH asks otherwise (that is what wineboot does).
    if (fs.folderExists(platform::nativePath(prefix + QStringLiteral("/drive_c/windows"))))
        wine.prefix64 = fs.folderExists(platform::nativePath(prefix + QStringLiteral("/drive_c/windows/syswow64")));
    else
        wine.prefix64 = wine.run64 && qEnvironmentVariable("WINEARCH") != QLatin1String("win32");
    return wine;
}

bool prefixReady(platform::FileSystem& fs, const WineEnvironment& wine)
{
    return fs.fileExists(platform::nativePath(wine.prefix + QStringLiteral("/system.reg")));
}

platform::Status checkLibrary(const PeImage& image, const WineEnvironment& wine, const QSet<QString>& folderNames,
                              const QSet<QString>& systemNames)
{
    const auto refused = [](const QString& reason) {
        return platform::Status::failure(platform::ErrorKind::Failed, reason);
    };
    const bool is64 = image.is64();
    if (image.machine == PeImage::Machine::Other)
        return refused(QStringLiteral("不支持的处理器类型(0x%1), Wine只能运行x86和x64的组件")
                           .arg(image.machineCode, 4, 16, QLatin1Char('0')));
    if (is64 && !wine.run64)
        return refused(QStringLiteral("64位组件需要64位Wine(wine64)"));
    if (is64 && !wine.prefix64)
        return refused(QStringLiteral("64位组件不能注册到32位的Wine环境(%1)").arg(wine.prefix));
    if (!is64 && !wine.run32)
        return refused(QStringLiteral("32位组件需要32位Wine(wine32)"));
    if (!image.hasExport(QStringLiteral("DllRegisterServer")))
        return refused(QStringLiteral("不是可注册的组件: 没有DllRegisterServer"));
    const QSet<QString>& builtins = is64 ? wine.builtin64 : wine.builtin32;
    QStringList missing;
    for (const QString& dll : image.importedDlls) {
        QString name = dll.toLower();
        if (!name.contains(QLatin1Char('.')))
            name += QStringLiteral(".dll"); // the loader's rule for a name without extension
        if (!folderNames.contains(name) && !systemNames.contains(name) && !builtins.contains(name))
            missing << dll.toUpper();
    }
    if (!missing.isEmpty())
        return refused(QStringLiteral("缺少依赖: ") + missing.join(QStringLiteral(", ")));
    return {};
}

QString regsvr32ExitReason(int exitCode)
{
    switch (exitCode) {
    case 0: return {};
    case 1: return QStringLiteral("注册程序不接受所给的参数(退出码 1)");
    case 3: return QStringLiteral("组件无法载入(退出码 3)");
    case 4: return QStringLiteral("不是可注册的组件: 没有DllRegisterServer(退出码 4)");
    case 5: return QStringLiteral("组件的DllRegisterServer执行失败(退出码 5)");
    default: return QStringLiteral("注册失败(退出码 %1)").arg(exitCode);
    }
}

} // namespace korvane::components
