// The file header's version and security flags, and what they mean to the preview and the report.
#include "drawingviewer/dwgheader.h"
#include "previewfixtures.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace korvane::drawingviewer;
using namespace korvane::drawingviewer::testing;

class TestDwgHeader : public QObject {
    Q_OBJECT
private slots:
    void flagsInCopiesOfSamples_data();
    void flagsInCopiesOfSamples();
    void versions_data();
    void versions();
    void passwordReportGroupsTheDrawings();
};

void TestDwgHeader::flagsInCopiesOfSamples_data()
{
    QTest::addColumn<QString>("sample");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<QString>("protection");
    const QStringList secured{"r2004_bmp_line", "r2007_bmp_line", "r2010_bmp_gh209", "r2013_png_line",
                              "r2018_png_sample"};
    const QList<std::pair<quint32, QString>> combos{
        {0x00, "无密码"},
        {0x01, "有密码: 数据已加密"},
        {0x02, "有密码: 预览和属性已加密"},
        {0x03, "有密码: 数据已加密, 预览和属性已加密"},
        {0x10, "无密码; 有数字签名"},
        {0x30, "无密码; 有数字签名; 有时间戳"},
        {0x33, "有密码: 数据已加密, 预览和属性已加密; 有数字签名; 有时间戳"}};
    for (const QString& s : secured) {
        for (const auto& [flags, text] : combos)
            QTest::addRow("%s %02x", qPrintable(s), flags) << s << flags << text;
    }
    // Before R2004 those bytes are something else: no flags are read there.
    for (const char* s : {"r13_bmp_example", "r14_bmp_v", "r2000_bmp_sample"})
        QTest::addRow("%s ff", s) << QString::fromLatin1(s) << 0xFFu << "无密码 (此版本的图纸不能设置密码)";
}

void TestDwgHeader::flagsInCopiesOfSamples()
{
    QFETCH(QString, sample);
    QFETCH(quint32, flags);
    QFETCH(QString, protection);
    const QString original = korvane::testsupport::sampleFile(QStringLiteral("dwg"), sample + ".dwg");
    if (original.isEmpty())
        QSKIP(missingSamples(QStringLiteral("dwg"), sample + ".dwg"));
    QByteArray bytes = bytesOf(original);
    const DwgPreview plain = extractPreview(bytes);
    QVERIFY(plain.ok());
    putLe32(bytes, 0x18, flags);
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("副本.dwg"));
    QVERIFY(writeAll(copy, bytes));

    const DwgHeader h = readHeader(QFile::encodeName(copy));
    const bool secured = h.canCarryPassword();
    QCOMPARE(secured, sample.startsWith("r20") && !sample.startsWith("r2000"));
    QCOMPARE(h.securityFlags, secured ? flags : 0u);
    QCOMPARE(h.hasPassword(), secured && (flags & 3) != 0);
    QCOMPARE(h.protectionText(), protection);

    const DwgPreview p = readPreview(copy);
    QCOMPARE(p.header.securityFlags, h.securityFlags);
    if (secured && (flags & EncryptProperties)) {
        QCOMPARE(p.failure, PreviewFailure::Encrypted);
        QCOMPARE(previewNotice(p, false), QStringLiteral("图纸的预览已加密"));
    } else {
        QCOMPARE(p.bytes, plain.bytes); // data encryption, signature and stamp leave the preview
    }
}

void TestDwgHeader::versions_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("drawing");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("canCarryPassword");
    const QByteArray pad(0x1C, '\0');
    const auto h = [&pad](const QByteArray& v) { return v + pad.mid(v.size()); };
    QTest::newRow("R2.10") << h("AC2.10") << true << "R2.10 (AC2.10)" << false;
    QTest::newRow("R1.2, five characters") << h("AC1.2") << true << "R1.2 (AC1.2)" << false;
    QTest::newRow("R2000") << h("AC1015") << true << "R2000 (AC1015)" << false;
    QTest::newRow("R2004") << h("AC1018") << true << "R2004 (AC1018)" << true;
    QTest::newRow("unnamed code keeps its flags") << h("AC1040") << true << "AC1040" << true;
    QTest::newRow("R13, only its version") << QByteArray("AC1012") << true << "R13 (AC1012)" << false;
    QTest::newRow("R2004 cut before its flags") << h("AC1018").left(0x1B) << false << "" << false;
    QTest::newRow("not a drawing") << h("PK\3\4xx") << false << "" << false;
    QTest::newRow("AC and junk") << h("AC10x8") << false << "" << false;
}

void TestDwgHeader::versions()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, drawing);
    QFETCH(QString, text);
    QFETCH(bool, canCarryPassword);
    const DwgHeader h = readHeader(SparseSource(head, head.size()));
    QCOMPARE(h.ok(), drawing);
    QCOMPARE(h.ok() ? h.versionText() : QString(), text);
    QCOMPARE(h.canCarryPassword(), canCarryPassword);
}

void TestDwgHeader::passwordReportGroupsTheDrawings()
{
    const auto header = [](const char* v, quint32 flags) {
        QByteArray b = QByteArray(v) + QByteArray(0x1C - 6, '\0');
        putLe32(b, 0x18, flags);
        return parseHeader(b.constData(), b.size());
    };
    const QString report = passwordReport({{"甲.dwg", header("AC1018", 1)},
                                           {"乙.dwg", header("AC1015", 1)},
                                           {"丙.dwg", DwgHeader{}},
                                           {"丁.dwg", header("AC1027", 3)},
                                           {"戊.dwg", header("AC1032", 0x10)}});
    QCOMPARE(report, QStringLiteral("有密码的图纸 (2 个):\n"
                                    "  甲.dwg: R2004 (AC1018), 有密码: 数据已加密\n"
                                    "  丁.dwg: R2013 (AC1027), 有密码: 数据已加密, 预览和属性已加密\n\n"
                                    "没有密码的图纸 (2 个):\n"
                                    "  乙.dwg: R2000 (AC1015), 无密码 (此版本的图纸不能设置密码)\n"
                                    "  戊.dwg: R2018 (AC1032), 无密码; 有数字签名\n\n"
                                    "无法读取为图纸的文件 (1 个):\n"
                                    "  丙.dwg: 文件不存在或无法读取"));
    QCOMPARE(passwordReport({}), QString());

    // From files, as the drawing encryptor's list names them.
    QTemporaryDir dir;
    SynthDrawing locked;
    locked.securityFlags = EncryptData;
    QVERIFY(writeAll(dir.filePath("锁.dwg"), locked.build()));
    struct Entry {
        QString text;
        QByteArray path;
    };
    const std::vector<Entry> listed{{"锁.dwg", QFile::encodeName(dir.filePath("锁.dwg"))}, {"无.dwg", "/nonexistent"}};
    QCOMPARE(passwordReportFor(listed),
             QStringLiteral("有密码的图纸 (1 个):\n  锁.dwg: R2004 (AC1018), 有密码: 数据已加密\n\n"
                            "无法读取为图纸的文件 (1 个):\n  无.dwg: 文件不存在或无法读取"));
}

QTEST_GUILESS_MAIN(TestDwgHeader)
#include "tst_drawingviewer_dwgheader.moc"
