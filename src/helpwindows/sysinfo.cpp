#include "helpwindows/sysinfo.h"

#include "platform/nativepath.h"

namespace korvane::helpwindows {

bool GetKeyValue(platform::Registry& registry, platform::RegistryRoot root, const QString& keyPath,
                 const QString& valueName, QString& text)
{
    const auto value = registry.query(root, keyPath, valueName);
    if (!value) {
        text.clear();
        return false;
    }
    platform::decodeRegistryValue(*value, text);
    return true;
}

bool startSysInfo(platform::Registry& registry, platform::FileSystem& fs, platform::ProgramStarter& programs)
{
    using platform::RegistryRoot;
    QString path;
    if (GetKeyValue(registry, RegistryRoot::LocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                    QStringLiteral("PATH"), path))
        return programs.startDetached(path, {}).ok();
    if (GetKeyValue(registry, RegistryRoot::LocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                    QStringLiteral("MSINFO"), path)) {
        const QString program = path + QStringLiteral("/MSINFO32.EXE");
        if (fs.fileExists(platform::nativePath(program)))
            return programs.startDetached(program, {}).ok();
    }
    return false;
}

} // namespace korvane::helpwindows
