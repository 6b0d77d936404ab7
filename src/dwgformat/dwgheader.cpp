#include "dwgformat/dwgheader.h"

#include "dwgformat/previewlocator.h"
#include "dwgformat/regularfile.h"
#include "dwgformat/sectionmap.h"

#include <QStringList>
#include <QtEndian>

#include <algorithm>

namespace korvane::dwgformat {

namespace {

constexpr qint64 kSecurityOffset = 0x18;
constexpr int kFirstSecuredVersion = 1018; // AC1018, R2004

struct Release {
    const char* version;
    const char* name;
};

// Codes of the releases that saved drawings; beta and intermediate codes stay unnamed.
constexpr Release kReleases[] = {
    {"AC1.2", "R1.2"},   {"AC1.3", "R1.3"},   {"AC1.40", "R1.4"},  {"AC1.50", "R2.0"},  {"AC2.10", "R2.10"},
    {"AC2.21", "R2.21"}, {"AC2.22", "R2.22"}, {"AC1001", "R2.4"},  {"AC1002", "R2.5"},  {"AC1003", "R2.6"},
    {"AC1004", "R9"},    {"AC1006", "R10"},   {"AC1009", "R11"},   {"AC1012", "R13"},   {"AC1014", "R14"},
    {"AC1015", "R2000"}, {"AC1018", "R2004"}, {"AC1021", "R2007"}, {"AC1024", "R2010"}, {"AC1027", "R2013"},
    {"AC1032", "R2018"},
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/// "AC" and four digits: the number; -1 for any other form ("AC2.10").
int versionNumber(const QByteArray& v)
{
    if (v.size() != 6 || !v.startsWith("AC"))
        return -1;
    int n = 0;
    for (int i = 2; i < 6; ++i) {
        if (!isDigit(v[i]))
            return -1;
        n = n * 10 + (v[i] - '0');
    }
    return n;
}

/// The stored version without its zero padding: "AC1.2" is five characters.
QByteArray versionString(const char* bytes, qint64 size)
{
    QByteArray v(bytes, int(std::min<qint64>(size, 6)));
    const qsizetype nul = v.indexOf('\0');
    if (nul >= 0)
        v.truncate(nul);
    return v;
}

bool looksLikeVersion(const QByteArray& v)
{
    if (v.size() < 5 || !v.startsWith("AC"))
        return false;
    if (versionNumber(v) >= 0)
        return true;
    // "AC1.2", "AC1.40", "AC2.10": a digit, a point, digits.
    if (!isDigit(v[2]) || v[3] != '.')
        return false;
    for (qsizetype i = 4; i < v.size(); ++i) {
        if (!isDigit(v[i]))
            return false;
    }
    return true;
}

} // namespace

QString DwgHeader::release() const
{
    for (const Release& r : kReleases) {
        if (version == r.version)
            return QString::fromLatin1(r.name);
    }
    return {};
}

bool DwgHeader::canCarryPassword() const
{
    return ok() && versionNumber(version) >= kFirstSecuredVersion;
}

QString DwgHeader::versionText() const
{
    const QString name = release();
    const QString code = QString::fromLatin1(version);
    return name.isEmpty() ? code : QStringLiteral("%1 (%2)").arg(name, code);
}

QString DwgHeader::protectionText() const
{
    if (!canCarryPassword())
        return QStringLiteral("无密码 (此版本的图纸不能设置密码)");
    if (flagsDamaged())
        return QStringLiteral("安全标志异常(可能已损坏)"); // nor are its other bits to be believed
    QString text;
    if (hasPassword()) {
        QStringList what;
        if (securityFlags & EncryptData)
            what << QStringLiteral("数据已加密");
        if (securityFlags & EncryptProperties)
            what << QStringLiteral("预览和属性已加密");
        text = QStringLiteral("有密码: ") + what.join(QStringLiteral(", "));
    } else {
        text = QStringLiteral("无密码");
    }
    if (securityFlags & SignData)
        text += QStringLiteral("; 有数字签名");
    if (securityFlags & AddTimeStamp)
        text += QStringLiteral("; 有时间戳");
    return text;
}

DwgHeader parseHeader(const char* bytes, qint64 size)
{
    DwgHeader header;
    header.status = DwgHeader::Status::NotADrawing;
    const QByteArray version = versionString(bytes, size);
    if (!looksLikeVersion(version))
        return header;
    const bool secured = versionNumber(version) >= kFirstSecuredVersion;
    // A drawing's header runs far beyond the flags; one that stops short of them is none.
    if (size < (secured ? kDwgHeaderBytes : qint64(6)))
        return header;
    header.status = DwgHeader::Status::Drawing;
    header.version = version;
    if (secured)
        header.securityFlags = qFromLittleEndian<quint32>(bytes + kSecurityOffset);
    return header;
}

DwgHeader readHeader(const ByteSource& source)
{
    char bytes[kDwgHeaderBytes];
    const qint64 size = std::min(source.size(), kDwgHeaderBytes);
    if (size < 0 || !source.read(0, size, bytes))
        return {};
    DwgHeader header = parseHeader(bytes, size); // a short file: parseHeader decides
    if (header.flagsClaimEncryption())
        header.encryptedSections = readSectionEncryption(source) == SectionEncryption::Encrypted;
    return header;
}

DwgHeader readHeader(const QByteArray& nativePath)
{
    const RegularFile file(nativePath.constData());
    if (!file.isOpen())
        return {};
    return readHeader(RegularFileSource(file));
}

QString passwordReport(const QList<NamedHeader>& drawings)
{
    QStringList with, without, unreadable;
    for (const NamedHeader& d : drawings) {
        const DwgHeader& h = d.header;
        if (!h.ok()) {
            unreadable << QStringLiteral("  %1: %2")
                              .arg(d.name, h.status == DwgHeader::Status::Unreadable
                                               ? QStringLiteral("文件不存在或无法读取")
                                               : QStringLiteral("不是DWG图纸文件"));
            continue;
        }
        (h.hasPassword() ? with : without)
            << QStringLiteral("  %1: %2, %3").arg(d.name, h.versionText(), h.protectionText());
    }
    QStringList blocks;
    const auto block = [&blocks](const QString& title, const QStringList& lines) {
        if (!lines.isEmpty())
            blocks << title.arg(lines.size()) + QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
    };
    block(QStringLiteral("有密码的图纸 (%1 个):"), with);
    block(QStringLiteral("没有密码的图纸 (%1 个):"), without);
    block(QStringLiteral("无法读取为图纸的文件 (%1 个):"), unreadable);
    return blocks.join(QStringLiteral("\n\n"));
}

} // namespace korvane::dwgformat
