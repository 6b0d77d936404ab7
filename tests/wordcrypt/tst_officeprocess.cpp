// Finding the office and wording its failures: no office is started here.

#include "wordcrypt/libreofficeword.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace korvane;

class TestOfficeProcess : public QObject {
    Q_OBJECT
private slots:
    void officeIsFoundOnPath_data() {
        QTest::addColumn<QStringList>("onPath"); ///< programs placed in the PATH folders, "dir/name"
        QTest::addColumn<QString>("found");
        QTest::newRow("soffice first") << QStringList{"a/libreoffice", "b/soffice"} << "b/soffice";
        QTest::newRow("libreoffice alone") << QStringList{"b/libreoffice"} << "b/libreoffice";
        QTest::newRow("earlier folder wins") << QStringList{"a/soffice", "b/soffice"} << "a/soffice";
    }
    void officeIsFoundOnPath() {
        QFETCH(QStringList, onPath);
        QFETCH(QString, found);
        QTemporaryDir dir;
        QDir(dir.path()).mkpath(QStringLiteral("a"));
        QDir(dir.path()).mkpath(QStringLiteral("b"));
        for (const QString& p : onPath) {
            QFile f(dir.filePath(p));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("#!/bin/sh\n");
            f.close();
            QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        }
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH", QFile::encodeName(dir.filePath(QStringLiteral("a")) + u':' + dir.filePath(QStringLiteral("b"))));
        QCOMPARE(wordcrypt::LibreOfficeWord::findOffice(), QFileInfo(dir.filePath(found)).canonicalFilePath());
    }

    void missingOfficeNamesWhereItLooked() {
        const QString text = wordcrypt::libreOfficeMissingText();
        for (const QString& place : wordcrypt::LibreOfficeWord::officeSearchPlaces())
            QVERIFY2(text.contains(place), qPrintable(place));
    }

    void failuresReadInChinese_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("locked") << "locked" << "" << QStringLiteral("文档正被其他程序打开");
        QTest::newRow("load, engine detail kept in brackets")
            << "load" << "com.sun.star.task.ErrorCodeRequest 0x11b"
            << QStringLiteral("LibreOffice 无法打开此文档(com.sun.star.task.ErrorCodeRequest 0x11b)");
        QTest::newRow("store, read-only")
            << "store" << "0x4c0c io error" << QStringLiteral("文档只读或已被锁定(0x4c0c io error)");
        QTest::newRow("store, other") << "store" << "0x1 x" << QStringLiteral("LibreOffice 无法保存此文档(0x1 x)");
        QTest::newRow("crashed")
            << "crashed" << "Binary URP bridge already disposed"
            << QStringLiteral("LibreOffice 在处理此文档时意外退出(Binary URP bridge already disposed)");
        QTest::newRow("unknown code") << "protocol" << "no such document"
                                      << QStringLiteral("与 LibreOffice 的通信出错(no such document)");
        QTest::newRow("our own text passes") << "gone" << QStringLiteral("LibreOffice 意外退出")
                                             << QStringLiteral("LibreOffice 意外退出");
    }
    void failuresReadInChinese() {
        QFETCH(QString, code);
        QFETCH(QString, text);
        QTEST(wordcrypt::describeOfficeFailure(code, text), "expected");
    }
};

QTEST_GUILESS_MAIN(TestOfficeProcess)
#include "tst_officeprocess.moc"
