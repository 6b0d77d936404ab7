#pragma once
// The drawing command as korvane-cli and its export helper both know it. Reading previews out
// of drawings and turning them into pictures needs QtGui, which korvane-cli never loads: its
// `dwg preview` and `dwg info` replace korvane-cli with the helper korvane-dwgexport, which runs
// them with the same arguments, output and exit codes.

#include "cli/cliapp.h"
#include "dwgformat/previewlocator.h"

#include <QList>
#include <QString>

namespace korvane::cli {

/// The helper's file name, in Korvane's helper folder.
inline constexpr char kDwgExportHelperName[] = "korvane-dwgexport";

inline QString dwgSynopsis()
{
    return QStringLiteral("dwg preview|info|protect [选项] 文件…");
}

inline QList<OptionDef> dwgOptions()
{
    return {{QStringLiteral("out"), true}, {QStringLiteral("format"), true}, {QStringLiteral("size"), true}};
}

/// What `dwg preview` writes.
struct PreviewOptions {
    QString format; ///< "png" or "bmp"
    int size = 0;   ///< fit into size × size; 0 keeps the stored size
};

/// `dwg preview`'s options, checked; throws UsageError for a bad one. korvane-cli checks them
/// before it starts the helper, so a mistyped option costs no start.
inline PreviewOptions previewOptions(const ParsedArgs& args)
{
    if (!args.has(QStringLiteral("out")))
        throw UsageError{QStringLiteral("必须用 --out 指定输出目录")};
    PreviewOptions options{args.value(QStringLiteral("format"), QStringLiteral("png")).toLower(), 0};
    if (options.format != QLatin1String("png") && options.format != QLatin1String("bmp"))
        throw UsageError{QStringLiteral("--format 必须是 png 或 bmp")};
    if (args.has(QStringLiteral("size"))) {
        bool ok = false;
        options.size = args.value(QStringLiteral("size")).toInt(&ok);
        if (!ok || options.size < 1 || options.size > dwgformat::kMaxPreviewSide)
            throw UsageError{QStringLiteral("--size 必须是 1 到 %1 之间的整数").arg(dwgformat::kMaxPreviewSide)};
    }
    return options;
}

/// `dwg preview` or `dwg info` over the files after the action; in the helper only.
int runDwgExport(const ParsedArgs& args, Reporter& out);

} // namespace korvane::cli
