// The file header's version and security flags, and what they mean to the preview and the report.
#include "../drawingviewer/previewfixtures.h"
#include "dwgformat/dwgheader.h"
#include "dwgformat/regularfile.h"
#include "dwgformat/sectionmap.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace korvane::dwgformat;
using namespace korvane::drawingviewer::testing;

class TestDwgHeader : public QObject {
    Q_OBJECT
private slots:
    void flagsInCopiesOfSamples_data();
    void flagsInCopiesOfSamples();
    void flagsBorneOutBySectionMap();
    void passwordReportOfListedFiles();
};

void TestDwgHeader::flagsInCopiesOfSamples_data()
{
    QTest::addColumn<QString>("sample");
    QTest::addColumn<QString>("version");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("protection");
    // No sample is encrypted: flags that ask for it are damaged flags, and the preview stays.
    const QString damaged = QStringLiteral("安全标志异常(可能已损坏)");
    const QList<std::pair<quint32, QString>> combos{
        {0x00, "无密码"}, {0x01, damaged}, {0x02, damaged}, {0x03, damaged}, {0x30, "无密码; 有数字签名; 有时间戳"},
        {0x33, damaged}};
    for (const auto& [s, v] : {std::pair{"r2004_bmp_line", "R2004 (AC1018)"},
                               {"r2007_bmp_line", "R2007 (AC1021)"},
                               {"r2010_bmp_gh209", "R2010 (AC1024)"},
                               {"r2013_png_line", "R2013 (AC1027)"},
                               {"r2018_png_sample", "R2018 (AC1032)"}})
        for (const auto& [flags, text] : combos)
            QTest::addRow("%s %02x", s, flags) << QString::fromLatin1(s) << QString::fromLatin1(v) << flags << text;
    // Before R2004 those bytes are something else: no flags are read there.
    for (const auto& [s, v] : {std::pair{"r13_bmp_example", "R13 (AC1012)"},
                               {"r14_bmp_v", "R14 (AC1014)"},
                               {"r2000_bmp_sample", "R2000 (AC1015)"},
                               {"r11_nopreview_entities2d", "R11 (AC1009)"},
                               {"r2_10_nopreview_entities", "R2.10 (AC2.10)"}})
        QTest::addRow("%s ff", s) << QString::fromLatin1(s) << QString::fromLatin1(v) << 0xFFu
                                  << "无密码 (此版本的图纸不能设置密码)";
}

void TestDwgHeader::flagsInCopiesOfSamples()
{
    QFETCH(QString, sample);
    QFETCH(QString, version);
    QFETCH(quint32, flags);
    QFETCH(QString, protection);
    const QString original = korvane::testsupport::sampleFile(QStringLiteral("dwg"), sample + ".dwg");
    if (original.isEmpty())
        QSKIP(missingSamples(QStringLiteral("dwg"), sample + ".dwg"));
    QByteArray bytes = bytesOf(original);
    const DwgPreview plain = extractPreview(bytes);
    putLe32(bytes, 0x18, flags);
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("副本.dwg"));
    QVERIFY(writeAll(copy, bytes));
    const DwgHeader h = readHeader(QFile::encodeName(copy));
    const bool secured = flags != 0xFFu; // the rows of R2004 and later
    QCOMPARE(h.versionText(), version);
    QCOMPARE(h.canCarryPassword(), secured);
    QCOMPARE(h.securityFlags, secured ? flags : 0u);
    QVERIFY(!h.hasPassword());
    QCOMPARE(h.flagsDamaged(), secured && (flags & 3) != 0);
    QCOMPARE(h.protectionText(), protection);
    // Each sample's section map is read to its end; R2007 keeps its map otherwise, unread.
    const RegularFile file(QFile::encodeName(copy).constData());
    if (secured)
        QVERIFY(readSectionEncryption(RegularFileSource(file)) ==
                (version.contains("AC1021") ? SectionEncryption::Unknown : SectionEncryption::None));
    const DwgPreview p = readPreview(copy);
    QCOMPARE(p.failure, plain.failure);
    QCOMPARE(p.bytes, plain.bytes);
    QCOMPARE(p.header.securityFlags, h.securityFlags);
}

void TestDwgHeader::flagsBorneOutBySectionMap()
{
    // A security section, or any section marked encrypted, makes the flags a password; only
    // encrypted properties hide the preview. A map that fails a check bears nothing out.
    SynthDrawing d = securedDrawing(EncryptData | EncryptProperties | SignData);
    d.entries = {headerEntry(), {2, makeDib(3, 2, 8)}};
    QByteArray bytes = d.build();
    DwgPreview p = extractPreview(bytes);
    QVERIFY(p.header.hasPassword());
    QCOMPARE(p.header.protectionText(), QStringLiteral("有密码: 数据已加密, 预览和属性已加密; 有数字签名"));
    QCOMPARE(p.failure, PreviewFailure::Encrypted);
    d.securityFlags = EncryptData;
    d.sections = {{"AcDb:AcDbObjects", 1}};
    p = extractPreview(d.build());
    QVERIFY(p.header.hasPassword() && p.ok());
    d.sections = {{"AcDb:AcDbObjects", 2}, {"AcDb:Preview", 0}};
    QVERIFY(extractPreview(d.build()).header.flagsDamaged());
    bytes[0x100 + 30] = char(bytes[0x100 + 30] ^ 0x40); // inside the page map's literal run
    QVERIFY(extractPreview(bytes).header.flagsDamaged());
}

void TestDwgHeader::passwordReportOfListedFiles()
{
    QTemporaryDir dir;
    SynthDrawing locked = securedDrawing(EncryptData), old, odd;
    old.version = "AC1015";
    odd.securityFlags = EncryptData;
    QVERIFY(writeAll(dir.filePath("锁.dwg"), locked.build()) && writeAll(dir.filePath("旧.dwg"), old.build()) &&
            writeAll(dir.filePath("怪.dwg"), odd.build()));
    struct Entry {
        QString text;
        QByteArray path;
    };
    const auto native = [&dir](const char* name) { return QFile::encodeName(dir.filePath(name)); };
    const std::vector<Entry> listed{{"旧.dwg", native("旧.dwg")},
                                    {"无.dwg", native("无.dwg")},
                                    {"锁.dwg", native("锁.dwg")},
                                    {"怪.dwg", native("怪.dwg")}};
    QCOMPARE(
        passwordReportFor(listed),
        QStringLiteral(
            "有密码的图纸 (1 个):\n  锁.dwg: R2004 (AC1018), 有密码: 数据已加密\n\n没有密码的图纸 (2 个):\n  旧.dwg: "
            "R2000 (AC1015), 无密码 (此版本的图纸不能设置密码)\n  怪.dwg: R2004 (AC1018), 安全标志异常(可能已损坏)\n\n"
            "无法读取为图纸的文件 (1 个):\n  无.dwg: "
            "文件不存在或无法读取"));
}

QTEST_GUILESS_MAIN(TestDwgHeader)
#include "tst_dwgformat_dwgheader.moc"
