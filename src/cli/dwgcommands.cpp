#include "cli/commands.h"
#include "cli/dwgexport.h"

#include "platform/drawingapp.h"

namespace korvane::cli {

namespace {

int runDwg(const ParsedArgs& args, Reporter& out)
{
    if (args.operands.isEmpty())
        throw UsageError{QStringLiteral("缺少操作: preview、info 或 protect")};
    const QString action = args.operands.first();
    if (action == QLatin1String("protect")) {
        platform::UnavailableDrawingAutomation automation;
        out.note(automation.create(QStringLiteral("AutoCAD.Application")).status().message());
        return kExitProgramMissing;
    }
    if (action != QLatin1String("preview") && action != QLatin1String("info"))
        throw UsageError{QStringLiteral("未知操作 %1").arg(action)};
    if (args.rawOperands.size() < 2)
        throw UsageError{QStringLiteral("没有可供预览的DWG文件!")};
    if (action == QLatin1String("preview"))
        (void)previewOptions(args);
    QList<OptionDef> options = dwgOptions();
    options << OptionDef{QStringLiteral("json"), false};
    return runInPlaceOf(QString::fromLatin1(kDwgExportHelperName), args, options);
}

} // namespace

Command dwgCommand()
{
    return {QStringLiteral("dwg"),
            dwgSynopsis(),
            QStringLiteral("导出或查看DWG图纸中保存的预览图"),
            QStringLiteral("dwg preview 文件… --out 目录 [--format png|bmp] [--size N]\n"
                           "    把每个图纸保存的预览图写到输出目录,文件名为图纸名加 .png 或 .bmp。\n"
                           "    --size N 把图像缩放到不超过 N × N 像素(保持比例)。\n"
                           "dwg info 文件…\n"
                           "    显示图纸的版本和密码保护(R2004 以后的图纸才能设置密码),以及预览的格式、\n"
                           "    字节数和像素尺寸,或者没有预览的原因。图纸没有预览或预览已加密不算失败;\n"
                           "    文件无法读取、不是图纸或预览已损坏才算失败。\n"
                           "dwg protect\n"
                           "    本系统上没有可以保存加密图纸的绘图程序: 说明原因并以退出码 3 结束。\n"),
            dwgOptions(),
            runDwg};
}

} // namespace korvane::cli
