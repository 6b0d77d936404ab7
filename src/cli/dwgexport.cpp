#include "cli/dwgexport.h"

#include "cli/commands.h"
#include "drawingviewer/dwgpreview.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QJsonObject>
#include <QSet>

namespace korvane::cli {

using drawingviewer::DwgPreview;
using drawingviewer::PreviewFailure;
using drawingviewer::PreviewFormat;

namespace {

// The viewer's and the thumbnailer's words for a preview that fails a check or does not decode.
const QString kDamaged = QStringLiteral("图纸的预览已损坏");

QString failureText(PreviewFailure failure)
{
    switch (failure) {
    case PreviewFailure::None: return {};
    case PreviewFailure::Unreadable: return QStringLiteral("文件不存在或无法读取");
    case PreviewFailure::TooShort:
    case PreviewFailure::NotADrawing: return QStringLiteral("不是DWG图纸文件");
    case PreviewFailure::OldVersion: return QStringLiteral("R13以前版本的图纸不带预览");
    case PreviewFailure::NoPointer: return QStringLiteral("图纸中没有预览");
    case PreviewFailure::NoImage: return QStringLiteral("预览中没有图像");
    case PreviewFailure::PointerOutside:
    case PreviewFailure::BadSentinel:
    case PreviewFailure::BadDirectory:
    case PreviewFailure::BadEndSentinel:
    case PreviewFailure::EntryOutside:
    case PreviewFailure::BadImage: return kDamaged;
    case PreviewFailure::EntryTooLarge: return QStringLiteral("预览图像过大");
    case PreviewFailure::Encrypted: return QStringLiteral("图纸的预览已加密");
    }
    return {};
}

const char* formatWord(PreviewFormat format)
{
    switch (format) {
    case PreviewFormat::None: return "none";
    case PreviewFormat::Bmp: return "bmp";
    case PreviewFormat::Png: return "png";
    case PreviewFormat::Wmf: return "wmf";
    }
    return "";
}

/// Reads each drawing's preview in turn, as both dwg commands do. A read cut short by a stop says
/// nothing about its drawing: the loop ends there and that drawing counts as not done. `each` gets
/// the absolute path and what was read. Returns the command's exit code.
template <typename Each> int forEachPreview(const QList<QByteArray>& files, Reporter& out, Each each)
{
    return forEachOperand(files, out, [&](const platform::NativePath& native, const QString& path) {
        const DwgPreview preview = dwgformat::readPreview(native, &out.control());
        if (out.control().stopRequested())
            return OperandEnd::Undone;
        each(path, preview);
        return OperandEnd::Next;
    });
}

/// The drawing's version and protection: the head of its info line, and its figures.
QString describeHeader(const drawingviewer::DwgHeader& header, QJsonObject& figures)
{
    if (!header.ok())
        return {};
    figures.insert(QStringLiteral("version"), QString::fromLatin1(header.version));
    figures.insert(QStringLiteral("release"), header.release());
    figures.insert(QStringLiteral("password"), header.hasPassword());
    figures.insert(QStringLiteral("protection"), header.protectionText());
    // Versions before R2004 have no flags at all, which is not the same as flags of 0.
    if (header.canCarryPassword())
        figures.insert(QStringLiteral("securityFlags"), qint64(header.securityFlags));
    return QStringLiteral("%1, %2; ").arg(header.versionText(), header.protectionText());
}

int runInfo(const QList<QByteArray>& files, Reporter& out)
{
    return forEachPreview(files, out, [&out](const QString& path, const DwgPreview& preview) {
        QJsonObject figures;
        const QString head = describeHeader(preview.header, figures);
        if (!preview.ok()) {
            // A drawing saved without a preview, or with its preview encrypted, is a fact about
            // it; a file that cannot be read as a drawing is a failure.
            const bool hasNone =
                preview.failure == PreviewFailure::OldVersion || preview.failure == PreviewFailure::NoPointer ||
                preview.failure == PreviewFailure::NoImage || preview.failure == PreviewFailure::Encrypted;
            const QString why = failureText(preview.failure);
            figures.insert(QStringLiteral("format"), QStringLiteral("none"));
            if (hasNone) {
                figures.insert(QStringLiteral("note"), why);
                out.item(path, ItemStatus::Ok, head + QStringLiteral("没有预览 (%1)").arg(why), {}, figures);
            } else {
                out.item(path, ItemStatus::Failed, head + QStringLiteral("没有预览"), why, figures);
            }
            return;
        }
        figures.insert(QStringLiteral("format"), QLatin1String(formatWord(preview.format)));
        figures.insert(QStringLiteral("bytes"), preview.bytes.size());
        QString text = head + QStringLiteral("%1 预览, %2 字节")
                                  .arg(QString::fromLatin1(formatWord(preview.format)).toUpper())
                                  .arg(preview.bytes.size());
        const QImage image = drawingviewer::decodePreview(preview);
        if (image.isNull() && preview.format != PreviewFormat::Wmf) {
            out.item(path, ItemStatus::Failed, text, kDamaged, figures);
            return;
        }
        if (!image.isNull()) {
            figures.insert(QStringLiteral("width"), image.width());
            figures.insert(QStringLiteral("height"), image.height());
            text += QStringLiteral(", %1 × %2 像素").arg(image.width()).arg(image.height());
        }
        out.item(path, ItemStatus::Ok, text, {}, figures);
    });
}

int runPreview(const ParsedArgs& args, const QList<QByteArray>& files, Reporter& out)
{
    const auto [format, size] = previewOptions(args);
    const platform::NativePath outNative = absoluteNative(args.raw(QStringLiteral("out")));
    const QString outDir = platform::displayPath(outNative);
    platform::LocalFileSystem fs;
    if (!fs.folderExists(outNative)) {
        out.note(QStringLiteral("输出目录不存在: %1").arg(outDir));
        return kExitSomeFailed;
    }
    QSet<QString> written; // two drawings of one name from different folders must not overwrite
    return forEachPreview(files, out, [&](const QString& path, const DwgPreview& preview) {
        if (!preview.ok()) {
            out.item(path, ItemStatus::Failed, QStringLiteral("没有预览"), failureText(preview.failure));
            return;
        }
        // Decoded even when it is written as stored: a picture that does not decode is damaged,
        // here as in the viewer and the thumbnailer, and never written out as a result.
        QImage image = drawingviewer::decodePreview(preview);
        if (image.isNull()) {
            out.item(path, ItemStatus::Failed, QStringLiteral("失败"),
                     preview.format == PreviewFormat::Wmf ? QStringLiteral("WMF图元文件预览无法转换") : kDamaged);
            return;
        }
        QByteArray bytes;
        // A stored picture already in the wanted form is written as it is, byte for byte.
        if (size == 0 && QLatin1String(formatWord(preview.format)) == format) {
            bytes = preview.bytes;
        } else {
            if (size > 0)
                image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, format == QLatin1String("png") ? "PNG" : "BMP");
        }
        const QString base = QFileInfo(path).completeBaseName();
        QString name = base + QLatin1Char('.') + format;
        for (int n = 2; written.contains(name); ++n)
            name = QStringLiteral("%1-%2.%3").arg(base).arg(n).arg(format);
        written.insert(name);
        const QString target = outDir + QLatin1Char('/') + name;
        const platform::Status status = fs.writeFile(outNative + '/' + platform::nativePath(name), bytes);
        QJsonObject figures{{QStringLiteral("output"), target},
                            {QStringLiteral("format"), format},
                            {QStringLiteral("bytes"), bytes.size()},
                            {QStringLiteral("width"), image.width()},
                            {QStringLiteral("height"), image.height()}};
        if (status.ok())
            out.item(path, ItemStatus::Ok, QStringLiteral("已保存 %1").arg(target), {}, figures);
        else
            out.item(path, ItemStatus::Failed, QStringLiteral("失败"),
                     QStringLiteral("无法保存位图文件!") + status.message(), figures);
    });
}

} // namespace

int runDwgExport(const ParsedArgs& args, Reporter& out)
{
    const QString action = args.operands.value(0);
    if (action != QLatin1String("preview") && action != QLatin1String("info"))
        throw UsageError{QStringLiteral("未知操作 %1").arg(action)};
    const QList<QByteArray> files = args.rawOperands.mid(1);
    if (files.isEmpty())
        throw UsageError{QStringLiteral("没有可供预览的DWG文件!")};
    return action == QLatin1String("info") ? runInfo(files, out) : runPreview(args, files, out);
}

} // namespace korvane::cli
