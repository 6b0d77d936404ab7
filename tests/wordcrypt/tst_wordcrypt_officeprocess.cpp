// Finding the office: no office is started here.

#include "wordcrypt/libreofficeword.h"

#include "support/testmain.h"
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace korvane;

class TestOfficeProcess : public QObject {
    Q_OBJECT
private slots:
    void officeIsFoundOnPath_data()
    {
        QTest::addColumn<QStringList>("onPath"); ///< programs placed in the PATH folders, "dir/name"
        QTest::addColumn<QString>("found");
        QTest::newRow("soffice first") << QStringList{"a/libreoffice", "b/soffice"} << "b/soffice";
        QTest::newRow("libreoffice alone") << QStringList{"b/libreoffice"} << "b/libreoffice";
        QTest::newRow("earlier folder wins") << QStringList{"a/soffice", "b/soffice"} << "a/soffice";
    }
    void officeIsFoundOnPath()
    {
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
        qputenv("PATH",
                QFile::encodeName(dir.filePath(QStringLiteral("a")) + u':' + dir.filePath(QStringLiteral("b"))));
        QCOMPARE(wordcrypt::LibreOfficeWord::findOffice(), QFileInfo(dir.filePath(found)).canonicalFilePath());
    }
};

KORVANE_TEST_GUILESS_MAIN(TestOfficeProcess)
#include "tst_wordcrypt_officeprocess.moc"
