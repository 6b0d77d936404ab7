// Type patterns, type lists and the filter setting file.

#include "filemanager/filtersettings.h"
#include "filemanager/typematch.h"
#include "platform/fakes/fakeservices.h"

#include <QTemporaryDir>
#include <QtTest>

#include "support/testmain.h"
#include "support/testtree.h"

using namespace korvane::filemanager;
using korvane::platform::LocalFileSystem;

using namespace korvane::testsupport;

class TestFilter : public QObject {
    Q_OBJECT
private slots:
    void matching_data();
    void matching();
    void typeListEntriesDropEmpty_data();
    void typeListEntriesDropEmpty();
    void newFilterItemsFromAnswer_data();
    void newFilterItemsFromAnswer();
    void settingFileBytes();
};

void TestFilter::matching_data()
{
    QTest::addColumn<bool>("typeList");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("expected");

    QTest::newRow("*.txt upper name") << false << "*.txt"
                                      << "a.TXT" << true;
    QTest::newRow("*.txt vs .text") << false << "*.txt"
                                    << "a.text" << false;
    QTest::newRow("*.rm") << false << "*.rm"
                          << "a.rm" << true;
    QTest::newRow("bare rm vs a.rm") << false << "rm"
                                     << "a.rm" << false;
    QTest::newRow("bare rm vs rm") << false << "rm"
                                   << "rm" << true;
    QTest::newRow("exe without dot") << false << "exe"
                                     << "setup.EXE" << true;
    QTest::newRow("*.exe vs xexe") << false << "*.exe"
                                   << "xexe" << true;
    QTest::newRow("*.html vs .html") << false << "*.html"
                                     << "index.html" << true;
    QTest::newRow("*.html vs .htm") << false << "*.html"
                                    << "index.htm" << false;
    QTest::newRow("empty drop-down") << false << ""
                                     << "a.txt" << false;
    QTest::newRow("chinese name") << false << "*.txt"
                                  << "说明文件.txt" << true;
    QTest::newRow("chinese type") << false << "*.文本档"
                                  << "笔记.文本档" << true;

    QTest::newRow("chm;doc a.CHM") << true << "chm;doc"
                                   << "a.CHM" << true;
    QTest::newRow("chm;doc b.doc") << true << "chm;doc"
                                   << "b.doc" << true;
    QTest::newRow("chm;doc xdoc") << true << "chm;doc"
                                  << "xdoc" << true;
    QTest::newRow("chm;doc c.docx") << true << "chm;doc"
                                    << "c.docx" << false;
    QTest::newRow("txt vs atxt") << true << "txt"
                                 << "atxt" << true;
    QTest::newRow(".txt vs atxt") << true << ".txt"
                                  << "atxt" << false;
    QTest::newRow(".txt vs a.txt") << true << ".txt"
                                   << "a.txt" << true;
    QTest::newRow("*.txt matches nothing") << true << "*.txt"
                                           << "a.txt" << false;
    QTest::newRow("entries trimmed") << true << " chm ; doc "
                                     << "a.doc" << true;
    QTest::newRow("entry longer than name") << true << "a.txt"
                                            << "txt" << false;
    QTest::newRow("trailing ; is no wildcard") << true << "chm;"
                                               << "a.jpg" << false;
    QTest::newRow("leading ; is no wildcard") << true << ";chm"
                                              << "a.jpg" << false;
    QTest::newRow(";; is no wildcard") << true << "chm;;doc"
                                       << "a.jpg" << false;
    QTest::newRow("chinese entry") << true << "文档"
                                   << "年度文档" << true;
}

void TestFilter::matching()
{
    QFETCH(bool, typeList);
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(bool, expected);
    const bool actual = typeList ? matchesTypeList(name, typeListEntries(pattern)) : matchesSingleType(name, pattern);
    QCOMPARE(actual, expected);
}

void TestFilter::typeListEntriesDropEmpty_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("plain") << "chm;doc" << QStringList{"chm", "doc"};
    QTest::newRow("spaces") << "  chm ;  doc  " << QStringList{"chm", "doc"};
    QTest::newRow("empties") << ";chm;;doc;" << QStringList{"chm", "doc"};
    QTest::newRow("only separators") << " ; ;" << QStringList{};
    QTest::newRow("empty") << "" << QStringList{};
}

void TestFilter::typeListEntriesDropEmpty()
{
    QFETCH(QString, list);
    QFETCH(QStringList, entries);
    QCOMPARE(typeListEntries(list), entries);
}

void TestFilter::newFilterItemsFromAnswer_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("items");
    QTest::newRow("two with a space") << "chm; doc" << QStringList{"chm", "doc"};
    QTest::newRow("cancelled") << "" << QStringList{};
    QTest::newRow("blank") << "   " << QStringList{};
    QTest::newRow("trailing ;") << "chm;" << QStringList{"chm", ""};
    QTest::newRow("duplicates kept") << "*.txt;*.txt" << QStringList{"*.txt", "*.txt"};
}

void TestFilter::newFilterItemsFromAnswer()
{
    QFETCH(QString, answer);
    QFETCH(QStringList, items);
    QCOMPARE(newFilterItems(answer), items);
}

void TestFilter::settingFileBytes()
{
    QTemporaryDir dir;
    writeFile(raw(dir.filePath("setting.txt")), "an older, longer file\r\nsecond line\r\n");
    LocalFileSystem fs;
    QVERIFY(writeFilterSetting(fs, dir.path(), QStringLiteral("/data/下载")).ok());
    QCOMPARE(readFile(raw(dir.filePath("setting.txt"))), QByteArray("filter=/data/\xe4\xb8\x8b\xe8\xbd\xbd\r\n"));
    QVERIFY(writeFilterSetting(fs, dir.path(), QString()).ok());
    QCOMPARE(readFile(raw(dir.filePath("setting.txt"))), QByteArray("filter=\r\n"));
}

KORVANE_TEST_GUILESS_MAIN(TestFilter)
#include "tst_filemanager_filter.moc"
