#include "batchlist/batchlist.h"
#include "batchlist/compiler.h"
#include "platform/fakes/fakeservices.h"
#include "platform/nativepath.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane::batchlist;
using korvane::platform::ErrorKind;
using korvane::platform::FaultyFileSystem;
using korvane::platform::NativePath;
using korvane::testsupport::touch;

namespace {

QStringList texts(const BatchList& list)
{
    QStringList result;
    for (const BatchEntry& e : list.entries())
        result << e.text;
    return result;
}

} // namespace

class TestBatchListLogic : public QObject {
    Q_OBJECT
private slots:
    void matching_data();
    void matching();
    void gbkTrailByteIsNotALetter();
    void duplicatesAreExact();
    void limit();
    void removeKeepsDuplicateIndex();
    void trimming();
    void walkOrder();
    void walkSkipsFailuresAndLinks();
    void walkStopsAtLimit();
    void walkKeepsRawNames();
    void counts();
    void compileCommands_data();
    void compileCommands();
};

void TestBatchListLogic::matching_data()
{
    QTest::addColumn<QString>("extensions");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("matches");
    QTest::newRow("plain") << "doc" << QByteArray("a.doc") << true;
    QTest::newRow("upper name") << "doc" << QByteArray("B.DOC") << true;
    QTest::newRow("no dot needed") << "doc" << QByteArray("xdoc") << true;
    QTest::newRow("docx") << "doc" << QByteArray("a.docx") << false;
    QTest::newRow("shorter than entry") << "doc" << QByteArray("oc") << false;
    QTest::newRow("exactly the entry") << "doc" << QByteArray("doc") << true;
    QTest::newRow("upper entry") << "DWG" << QByteArray("plan.dwg") << true;
    QTest::newRow("entry with spaces") << " vbp " << QByteArray("app.VBP") << true;
    QTest::newRow("second entry") << "doc;dwg" << QByteArray("p.Dwg") << true;
    QTest::newRow("neither entry") << "doc;dwg" << QByteArray("p.txt") << false;
    QTest::newRow("empty entry matches all") << "doc;" << QByteArray("p.txt") << true;
    QTest::newRow("chinese name") << "doc" << QByteArray("报告.DOC") << true;
    QTest::newRow("chinese entry") << "文档" << QByteArray("年度文档") << true;
    QTest::newRow("chinese entry, other name") << "文档" << QByteArray("年度.doc") << false;
}

void TestBatchListLogic::matching()
{
    QFETCH(QString, extensions);
    QFETCH(QByteArray, name);
    QFETCH(bool, matches);
    QCOMPARE(nameMatches(name, parseExtensions(extensions)), matches);
}

void TestBatchListLogic::gbkTrailByteIsNotALetter()
{
    // "圆" in GBK is D4 B2; "耂" (GBK 0x8164) ends in the byte 'd'. A name ending in "<8164>oc"
    // decodes to "…耂oc", which must not pass for "doc".
    const QByteArray gbkName = QByteArray("a\x81"
                                          "doc",
                                          5);
    QVERIFY(!korvane::platform::isValidUtf8(gbkName));
    QVERIFY(!nameMatches(gbkName, parseExtensions("doc")));
    QVERIFY(nameMatches(gbkName, parseExtensions("oc")));
    const QByteArray gbkDoc = *korvane::platform::encodeText(QStringLiteral("报告.doc"), "GBK");
    QVERIFY(nameMatches(gbkDoc, parseExtensions("DOC")));
}

void TestBatchListLogic::duplicatesAreExact()
{
    BatchList list;
    QCOMPARE(list.add({"D:/a.doc", "D:/a.doc"}), BatchList::AddResult::Added);
    QCOMPARE(list.add({"D:/a.doc", "D:/a.doc"}), BatchList::AddResult::Duplicate);
    QCOMPARE(list.add({"d:/A.DOC", "d:/A.DOC"}), BatchList::AddResult::Added);
    QCOMPARE(list.add({"D:/a.doc ", "D:/a.doc "}), BatchList::AddResult::Added);
    QCOMPARE(texts(list), QStringList({"D:/a.doc", "d:/A.DOC", "D:/a.doc "}));
}

void TestBatchListLogic::limit()
{
    BatchList list;
    for (int i = 0; i < BatchList::kMaxEntries; ++i)
        QCOMPARE(list.add({QString::number(i), QByteArray::number(i)}), BatchList::AddResult::Added);
    QVERIFY(list.isFull());
    QCOMPARE(list.add({"new", "new"}), BatchList::AddResult::Full);
    QCOMPARE(list.add({"5", "5"}), BatchList::AddResult::Duplicate);
    QCOMPARE(list.size(), 32767);
}

void TestBatchListLogic::removeKeepsDuplicateIndex()
{
    BatchList list;
    list.add({"a", "a"});
    list.add({"b", "b"});
    list.add({"c", "c"});
    list.removeAt(1);
    list.removeAt(7); // out of range: nothing
    QCOMPARE(texts(list), QStringList({"a", "c"}));
    QVERIFY(!list.contains("b"));
    QCOMPARE(list.add({"b", "b"}), BatchList::AddResult::Added);
    QCOMPARE(list.add({"c", "c"}), BatchList::AddResult::Duplicate);
    list.clear();
    QCOMPARE(list.add({"c", "c"}), BatchList::AddResult::Added);
}

void TestBatchListLogic::trimming()
{
    QCOMPARE(trimSpaces(QStringLiteral("  a b  ")), QStringLiteral("a b"));
    QCOMPARE(trimSpaces(QStringLiteral("\ta\t")), QStringLiteral("\ta\t")); // only spaces go
    QCOMPARE(trimSpaces(QStringLiteral("   ")), QString());
    const BatchEntry e = trimmed({" /x/a.vbp ", " /x/a.vbp "});
    QCOMPARE(e.text, QStringLiteral("/x/a.vbp"));
    QCOMPARE(e.path, QByteArray("/x/a.vbp"));
}

void TestBatchListLogic::walkOrder()
{
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    // Creation order decides nothing: the walk follows the listing, so compute the expected
    // order from the listing itself.
    for (const char* p : {"/b/deep/x.doc", "/b/b1.DOC", "/a/a1.doc", "/a/skip.docx", "/top.doc", "/.hidden.doc",
                          "/a/sub/xdoc", "/empty/"}) {
        const QByteArray path = root + p;
        if (path.endsWith('/'))
            QVERIFY(QDir().mkpath(QString::fromLocal8Bit(path)));
        else
            touch(path);
    }
    FaultyFileSystem fs;
    // Expected: a recursive walk, files before subfolders, each in listing order.
    QStringList expected;
    std::function<void(const QByteArray&)> recurse = [&](const QByteArray& folder) {
        const auto entries = fs.list(folder);
        for (const auto& e : *entries)
            if (e.kind == korvane::platform::EntryKind::File && nameMatches(e.name, {"doc"}))
                expected << QString::fromLocal8Bit(folder + "/" + e.name);
        for (const auto& e : *entries)
            if (e.kind == korvane::platform::EntryKind::Folder)
                recurse(folder + "/" + e.name);
    };
    recurse(root);
    QCOMPARE(expected.size(), 6);

    BatchList list;
    list.add({dir.path() + "/a/a1.doc", root + "/a/a1.doc"}); // already listed: skipped
    const WalkResult r = addMatchingFiles(fs, root, parseExtensions("doc"), list);
    QCOMPARE(r.added, 5);
    QVERIFY(!r.limitReached);
    QCOMPARE(r.unreadableFolders, 0);
    expected.removeOne(dir.path() + "/a/a1.doc");
    expected.prepend(dir.path() + "/a/a1.doc");
    QCOMPARE(texts(list), expected);
}

void TestBatchListLogic::walkSkipsFailuresAndLinks()
{
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    touch(root + "/locked/secret.doc");
    touch(root + "/open/ok.doc");
    touch(root + "/open/deeper/ok2.doc");
    touch(root + "/outside/far.doc");
    // A loop back to the root and a link out of the tree: neither is followed.
    QCOMPARE(::symlink(root.constData(), (root + "/open/loop").constData()), 0);
    QCOMPARE(::symlink((root + "/outside").constData(), (root + "/open/away").constData()), 0);
    // A link to a file is a file.
    QCOMPARE(::symlink((root + "/outside/far.doc").constData(), (root + "/open/link.doc").constData()), 0);

    FaultyFileSystem fs;
    fs.failOn(FaultyFileSystem::Op::List, root + "/locked", ErrorKind::Io);
    fs.failOn(FaultyFileSystem::Op::List, root + "/outside", ErrorKind::Io);
    BatchList list;
    const WalkResult r = addMatchingFiles(fs, root, parseExtensions("doc"), list);
    QStringList got = texts(list);
    got.sort();
    QCOMPARE(got, QStringList({dir.path() + "/open/deeper/ok2.doc", dir.path() + "/open/link.doc",
                               dir.path() + "/open/ok.doc"}));
    QCOMPARE(r.unreadableFolders, 2); // locked and outside (outside by its own path only)
    // The listing was asked for every real folder exactly once.
    QList<NativePath> listed = fs.pathsOf(FaultyFileSystem::Op::List);
    std::sort(listed.begin(), listed.end());
    QCOMPARE(listed,
             QList<NativePath>({root, root + "/locked", root + "/open", root + "/open/deeper", root + "/outside"}));
}

void TestBatchListLogic::walkStopsAtLimit()
{
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    touch(root + "/a.doc");
    touch(root + "/b.doc");
    touch(root + "/c.doc");
    FaultyFileSystem fs;
    BatchList list;
    for (int i = 0; i < BatchList::kMaxEntries - 2; ++i)
        list.add({QString::number(i), QByteArray::number(i)});
    list.add({dir.path() + "/b.doc", root + "/b.doc"});
    const WalkResult r = addMatchingFiles(fs, root, parseExtensions("doc"), list);
    QCOMPARE(list.size(), BatchList::kMaxEntries);
    QCOMPARE(r.added, 1);
    QVERIFY(r.limitReached);
}

void TestBatchListLogic::walkKeepsRawNames()
{
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    const QByteArray gbkFolder = *korvane::platform::encodeText(QStringLiteral("报告"), "GBK");
    const QByteArray gbkName = *korvane::platform::encodeText(QStringLiteral("平面.DWG"), "GBK");
    QCOMPARE(::mkdir((root + "/" + gbkFolder).constData(), 0755), 0);
    touch(root + "/" + gbkFolder + "/" + gbkName);
    FaultyFileSystem fs;
    BatchList list;
    addMatchingFiles(fs, root, parseExtensions("dwg"), list);
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0).path, root + "/" + gbkFolder + "/" + gbkName);
    QCOMPARE(list.at(0).text, dir.path() + QStringLiteral("/报告/平面.DWG"));
    QVERIFY(fs.fileExists(list.at(0).path));
    // QDir cannot see these names, so QTemporaryDir would leave them behind.
    ::unlink(list.at(0).path.constData());
    ::rmdir((root + "/" + gbkFolder).constData());
}

void TestBatchListLogic::counts()
{
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    QVERIFY(QDir().mkpath(dir.path() + "/only/empty"));
    FaultyFileSystem fs;
    auto c = countEntries(fs, root + "/only");
    QVERIFY(c);
    QCOMPARE(c->files, 0);
    QCOMPARE(c->subFolders, 1);
    c = countEntries(fs, root + "/only/empty");
    QCOMPARE(c->files + c->subFolders, 0);
    QVERIFY(!countEntries(fs, root + "/missing"));
}

void TestBatchListLogic::compileCommands_data()
{
    QTest::addColumn<QString>("compiler");
    QTest::addColumn<QString>("project");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("exe through wine") << "/opt/vb/VB6.EXE"
                                      << "/src/my app/a.vbp"
                                      << "wine" << QStringList{"/opt/vb/VB6.EXE", "/MAKE", "Z:\\src\\my app\\a.vbp"};
    QTest::newRow("lower-case exe") << "/opt/vb/vb6.exe"
                                    << "/-x.vbp"
                                    << "wine" << QStringList{"/opt/vb/vb6.exe", "/MAKE", "Z:\\-x.vbp"};
    QTest::newRow("native compiler") << "/usr/bin/vbc"
                                     << "/src/-dash dir/a b.vbp"
                                     << "/usr/bin/vbc" << QStringList{"/MAKE", "/src/-dash dir/a b.vbp"};
    QTest::newRow("relative compiler") << "-cc"
                                       << "-p.vbp" << QDir::currentPath() + "/-cc"
                                       << QStringList{"/MAKE", QDir::currentPath() + "/-p.vbp"};
    QTest::newRow("relative exe and project")
        << "tools/vb6.Exe"
        << "p.vbp"
        << "wine"
        << QStringList{QDir::currentPath() + "/tools/vb6.Exe", "/MAKE",
                       korvane::platform::wineWindowsPath(QDir::currentPath() + "/p.vbp")};
}

void TestBatchListLogic::compileCommands()
{
    QFETCH(QString, compiler);
    QFETCH(QString, project);
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    const CompileCommand c = compileCommand(compiler, project);
    QCOMPARE(c.program, program);
    QCOMPARE(c.arguments, arguments);
}

KORVANE_TEST_GUILESS_MAIN(TestBatchListLogic)
#include "tst_batchlist_logic.moc"
