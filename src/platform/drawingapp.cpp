#include "platform/drawingapp.h"

namespace korvane::platform {

Result<std::shared_ptr<DrawingApplication>> UnavailableDrawingAutomation::bindByPathName(const QString& pathName)
{
    return drawingFailure(QStringLiteral("找不到正在运行的“%1”。").arg(pathName));
}

Result<std::shared_ptr<DrawingApplication>> UnavailableDrawingAutomation::create(const QString& className)
{
    return drawingFailure(unavailableDescription(className));
}

QString UnavailableDrawingAutomation::unavailableDescription(const QString& className)
{
    return QStringLiteral("无法创建对象“%1”:本机没有安装AutoCAD绘图程序,本系统上也没有可以代替它保存加密图纸的程序。")
        .arg(className);
}

DrawingAutomation& productionDrawingAutomation()
{
    static UnavailableDrawingAutomation automation;
    return automation;
}

} // namespace korvane::platform
