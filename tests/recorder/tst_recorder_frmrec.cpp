#include "platform/fakes/fakeservices.h"
#include "recorder/frmlog.h"
#include "recorder/frmrec.h"
#include "recordertest.h"
#include "support/drops.h"
#include "support/runs.h"

#include "support/testmain.h"
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionComboBox>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextLayout>
#include <QtTest>

using korvane::testsupport::waitForRuns;
using namespace korvane::recorder;
using namespace korvane::recorder::test;
using korvane::platform::FakeServices;
using korvane::platform::MessageIcon;

class TestFrmrec : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_program;
    std::unique_ptr<FakeServices> m_fake;
    QString m_db;

    QString programFolder() const { return m_program->path(); }

    /// A folder with three files of known sizes: 0, 1 MB and 3 MB + 1.
    QString makeFolder(QTemporaryDir& dir)
    {
        writeSized(dir.filePath(QStringLiteral("空.txt")), 0);
        writeSized(dir.filePath(QStringLiteral("one.bin")), 1 << 20);
        writeSized(dir.filePath(QStringLiteral("big.bin")), 3 * (1 << 20) + 1);
        return dir.path();
    }

    static QStringList names(const QString& db)
    {
        QStringList out;
        for (const QVariantList& row : query(db, QStringLiteral("SELECT FileName FROM fileInf ORDER BY rowid")))
            out.append(row.value(0).toString());
        return out;
    }

    template <typename T> static T* control(QWidget& w, const char* name)
    {
        T* c = w.findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("control %s missing", name);
        return c;
    }

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China)); }

    void init()
    {
        m_program = std::make_unique<QTemporaryDir>();
        QVERIFY(installEmptyDatabase(m_program->path()));
        m_fake = std::make_unique<FakeServices>(m_program->path());
        m_db = m_program->filePath(QStringLiteral("db1.mdb"));
    }

    void layout()
    {
        frmrec w(m_fake->services());
        QCOMPARE(w.objectName(), QStringLiteral("frmrec"));
        QCOMPARE(w.windowTitle(), QStringLiteral("文件信息批量记录工具"));
        QCOMPARE(w.size(), QSize(213, 287));
        QCOMPARE(control<QPushButton>(w, "Command4")->text(), QStringLiteral("日 志"));
        QCOMPARE(control<QPushButton>(w, "Command5")->geometry(), QRect(120, 144, 89, 25));
        QCOMPARE(control<QLineEdit>(w, "Text1")->text(), QStringLiteral("2"));
        QCOMPARE(control<QLineEdit>(w, "Text3")->text(), QStringLiteral("1"));
        QCOMPARE(control<QComboBox>(w, "Combo1")->currentText(), QStringLiteral("MB"));
        QVERIFY(control<QPlainTextEdit>(w, "Text2")->isReadOnly());
        QCOMPARE(control<QLabel>(w, "Image1")->pixmap().size(), QSize(105, 140));
    }

    void unitsReadWhole()
    {
        // "MB" and "Byte" in full, closed and open, without covering "查询" beside the box.
        frmrec w(m_fake->services());
        auto* box = control<QComboBox>(w, "Combo1");
        QStyleOptionComboBox option;
        option.initFrom(box);
        const int field =
            box->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box).width();
        for (int i = 0; i < box->count(); ++i) {
            const int text = box->fontMetrics().horizontalAdvance(box->itemText(i));
            QVERIFY2(text <= field,
                     qPrintable(QStringLiteral("%1: %2 > %3").arg(box->itemText(i)).arg(text).arg(field)));
            QVERIFY(text < box->view()->minimumWidth());
        }
        QVERIFY(box->geometry().right() < control<QLabel>(w, "Label1")->x());
        // The styled box's menu-like delegate keeps a check-mark column, leaving "…" in the list.
        QVERIFY(qobject_cast<QStyledItemDelegate*>(box->itemDelegate()));
    }

    void recordingCommands_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("message");
        QTest::newRow("chosen") << "Command1"
                                << "所选目录文件信息记录完毕!";
        QTest::newRow("program folder") << "Command2"
                                        << "当前目录文件信息记录完毕!";
        QTest::newRow("typed") << "Command5"
                               << "该目录文件信息记录完毕!";
    }

    void recordingCommands()
    {
        QFETCH(QString, command);
        QFETCH(QString, message);
        QTemporaryDir data;
        QString folder = makeFolder(data);
        const QString longName = QString(60, QChar(u'长')) + QStringLiteral(".txt");
        if (command == QLatin1String("Command2"))
            folder = programFolder();
        writeSized(folder + u'/' + longName, 7);
        frmrec w(m_fake->services()); // its connection adds db1.mdb-wal and -shm beside db1.mdb
        const int before = int(QDir(folder).entryList(QDir::Files | QDir::Hidden).size());
        m_fake->folders.answers.enqueue(folder);
        control<QLineEdit>(w, "Text4")->setText(folder);
        int logRowsWhileShown = -1;
        m_fake->messages.onShow = [&](const auto&) { logRowsWhileShown = count(m_db, QStringLiteral("log")); };
        control<QPushButton>(w, command.toLatin1().constData())->click();
        QVERIFY(waitForRuns());

        QCOMPARE(m_fake->messages.texts(), QStringList{message});
        QCOMPARE(m_fake->messages.shown.first().icon, MessageIcon::None);
        QCOMPARE(logRowsWhileShown, 1); // stored with the rows, before the box
        const auto log = query(m_db, QStringLiteral("SELECT folder, logtime FROM log"));
        QCOMPARE(log.size(), 1);
        QCOMPARE(log[0][0].toString(), folder);
        QVERIFY(qAbs(QDateTime::fromString(log[0][1].toString(), QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                         .secsTo(QDateTime::currentDateTime())) < 60);
        const QStringList stored = names(m_db);
        QCOMPARE(stored.size(), before);
        QVERIFY(stored.contains(longName)); // whole, by every command
        if (command == QLatin1String("Command1"))
            QCOMPARE(m_fake->folders.prompts, QStringList{QStringLiteral("请选择要记录文件信息的文件夹：")});
    }

    void chooserCancelDoesNothing()
    {
        frmrec w(m_fake->services());
        w.Command1_Click();
        QVERIFY(waitForRuns());
        QVERIFY(m_fake->messages.shown.isEmpty());
        QCOMPARE(count(m_db, QStringLiteral("log")), 0);
    }

    void typedFolderEdgeCases()
    {
        frmrec w(m_fake->services());
        auto* text4 = control<QLineEdit>(w, "Text4");
        w.Command5_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(m_fake->messages.texts(), QStringList{QStringLiteral("没有输入要记录路径!")});
        QCOMPARE(count(m_db, QStringLiteral("log")), 0);

        // Missing folder: the run is reported and logged as typed, untrimmed.
        const QString missing = m_program->filePath(QStringLiteral("no such "));
        text4->setText(missing);
        w.Command5_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(m_fake->messages.texts().last(), QStringLiteral("该目录文件信息记录完毕!"));
        QCOMPARE(query(m_db, QStringLiteral("SELECT folder FROM log")).value(0).value(0).toString(), missing);
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 0);

        // A folder without files: no message, no log row.
        QTemporaryDir empty;
        QVERIFY(QDir(empty.path()).mkdir(QStringLiteral("sub")));
        text4->setText(empty.path());
        const int messages = int(m_fake->messages.shown.size());
        w.Command5_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(m_fake->messages.shown.size(), messages);
        QCOMPARE(count(m_db, QStringLiteral("log")), 1);
    }

    void recordingTwiceDoublesRows()
    {
        QTemporaryDir data;
        const QString folder = makeFolder(data);
        frmrec w(m_fake->services());
        control<QLineEdit>(w, "Text4")->setText(folder);
        w.Command5_Click();
        QVERIFY(waitForRuns());
        w.Command5_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 6);
        QCOMPARE(count(m_db, QStringLiteral("log")), 2);
    }

    void rootIsLoggedWithItsSeparator()
    {
        // Only the log row matters here: record nothing by failing the listing.
        m_fake->fs.failOn(korvane::platform::FaultyFileSystem::Op::List, QByteArray("/"));
        frmrec w(m_fake->services());
        m_fake->folders.answers.enqueue(QStringLiteral("/"));
        w.Command1_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(query(m_db, QStringLiteral("SELECT folder FROM log")).value(0).value(0).toString(),
                 QStringLiteral("/"));
    }

    void emptyingTheFileTable()
    {
        frmrec w(m_fake->services());
        query(m_db, QStringLiteral("INSERT INTO log VALUES ('/x', '2024-01-01 00:00:00')"));
        w.Command3_Click();
        QCOMPARE(m_fake->messages.texts(), QStringList{QStringLiteral("没有记录!")});
        QCOMPARE(m_fake->messages.shown.last().icon, MessageIcon::Information);

        QTemporaryDir data;
        control<QLineEdit>(w, "Text4")->setText(makeFolder(data));
        w.Command5_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 3);
        w.Command3_Click();
        QCOMPARE(m_fake->messages.texts().last(), QStringLiteral("已清空所有已记录文件信息"));
        QCOMPARE(m_fake->messages.shown.last().icon, MessageIcon::None);
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 0);
        QCOMPARE(count(m_db, QStringLiteral("log")), 2); // the log is not touched
    }

    void lookup()
    {
        QTemporaryDir data;
        frmrec w(m_fake->services());
        control<QLineEdit>(w, "Text4")->setText(makeFolder(data));
        w.Command5_Click();
        QVERIFY(waitForRuns());
        m_fake->messages.shown.clear();
        auto* text2 = control<QPlainTextEdit>(w, "Text2");

        // Initial inputs: 1 MB to 3 MB, both ends included; twice lists the names once.
        w.Label1_Click();
        w.Label1_Click();
        QCOMPARE(text2->toPlainText(), QStringLiteral("one.bin\n"));
        QCOMPARE(text2->textCursor().position(), int(text2->toPlainText().size()));
        QVERIFY(m_fake->messages.shown.isEmpty());

        control<QLineEdit>(w, "Text1")->setText(QStringLiteral("0"));
        control<QLineEdit>(w, "Text3")->setText(QStringLiteral("0"));
        control<QComboBox>(w, "Combo1")->setCurrentIndex(2);
        w.Label1_Click();
        QCOMPARE(text2->toPlainText(), QStringLiteral("空.txt\n"));

        // Negative lower bound: everything up to size + tolerance.
        control<QLineEdit>(w, "Text1")->setText(QStringLiteral("1"));
        control<QLineEdit>(w, "Text3")->setText(QStringLiteral("3.0001"));
        control<QComboBox>(w, "Combo1")->setCurrentIndex(0);
        w.Label1_Click();
        QCOMPARE(text2->toPlainText().split(u'\n').size(), 4);

        control<QLineEdit>(w, "Text1")->setText(QStringLiteral("9"));
        control<QLineEdit>(w, "Text3")->setText(QStringLiteral("0"));
        w.Label1_Click();
        QCOMPARE(text2->toPlainText(), QString());
        QCOMPARE(m_fake->messages.texts(), QStringList{QStringLiteral("没有记录!")});
        QCOMPARE(m_fake->messages.shown.last().icon, MessageIcon::None);

        // A nameless row stops the listing with "没有记录"; what was listed stays.
        query(m_db, QStringLiteral("INSERT INTO fileInf (filesize) VALUES (1048576)"));
        query(m_db, QStringLiteral("INSERT INTO fileInf (FileName, filesize) VALUES ('later', 1048576)"));
        control<QLineEdit>(w, "Text1")->setText(QStringLiteral("1"));
        w.Label1_Click();
        QCOMPARE(text2->toPlainText(), QStringLiteral("one.bin\n"));
        QCOMPARE(m_fake->messages.texts().last(), QStringLiteral("没有记录"));
    }

    void droppingFiles()
    {
        // One file onto the size box: its exact size, in bytes, tolerance 0, so 查询 finds it.
        QTemporaryDir data;
        const QString folder = makeFolder(data);
        frmrec w(m_fake->services());
        auto* text1 = control<QLineEdit>(w, "Text1");
        const QByteArray big = QFile::encodeName(data.filePath(QStringLiteral("big.bin")));
        QVERIFY(korvane::testsupport::dropFiles(text1, {big}));
        QCOMPARE(text1->text(), QStringLiteral("3145729"));
        QCOMPARE(control<QComboBox>(w, "Combo1")->currentText(), QStringLiteral("Byte"));
        QCOMPARE(control<QLineEdit>(w, "Text3")->text(), QStringLiteral("0"));
        // Several files, or a folder, are refused and the box keeps its text.
        const QByteArray one = QFile::encodeName(data.filePath(QStringLiteral("one.bin")));
        QVERIFY(!korvane::testsupport::dropFiles(text1, {one, big}));
        QVERIFY(!korvane::testsupport::dropFiles(text1, {QFile::encodeName(folder)}));
        QCOMPARE(text1->text(), QStringLiteral("3145729"));

        // A folder onto the path box of 记录 is recorded as a typed one.
        QVERIFY(korvane::testsupport::dropFiles(control<QLineEdit>(w, "Text4"), {QFile::encodeName(folder)}));
        QCOMPARE(control<QLineEdit>(w, "Text4")->text(), folder);
        w.Command5_Click();
        QVERIFY(waitForRuns());
        w.Label1_Click();
        QCOMPARE(control<QPlainTextEdit>(w, "Text2")->toPlainText(), QStringLiteral("big.bin\n"));
    }

    void missingDatabase()
    {
        QFile::remove(m_db);
        QTemporaryDir data;
        frmrec w(m_fake->services());
        control<QLineEdit>(w, "Text4")->setText(makeFolder(data));
        w.Command5_Click(); // stores nothing, and says so instead of reporting success
        QVERIFY(waitForRuns());
        QCOMPARE(m_fake->messages.texts(), QStringList{QStringLiteral("无法保存记录: 无法打开数据库文件 ") + m_db});
        QCOMPARE(m_fake->messages.shown.last().icon, MessageIcon::Information);
        w.Label1_Click();
        QCOMPARE(m_fake->messages.texts().last(), QStringLiteral("没有记录"));
        w.Command3_Click();
        QVERIFY(m_fake->messages.texts().last().startsWith(QStringLiteral("无法打开数据库文件")));
        QVERIFY(!QFile::exists(m_db));
    }

    void runThatCannotBeStoredIsNotLogged()
    {
        QTemporaryDir data;
        for (int i = 0; i < 200; ++i)
            QVERIFY(writeSized(data.filePath(QStringLiteral("%1%2.txt").arg(i).arg(QString(80, u'满'))), i));
        frmrec w(m_fake->services());
        control<QLineEdit>(w, "Text4")->setText(data.path());
        // The window's connection may not grow the file: to SQLite, a full disk.
        const int pages = query(m_db, QStringLiteral("PRAGMA page_count")).value(0).value(0).toInt();
        for (const int limit : {pages + 5, 1 << 30}) {
            for (const QString& name : QSqlDatabase::connectionNames()) {
                if (name.startsWith(QLatin1String("korvane-recorder-")))
                    QSqlQuery(QSqlDatabase::database(name))
                        .exec(QStringLiteral("PRAGMA max_page_count = %1").arg(limit));
            }
            w.Command5_Click();
            QVERIFY(waitForRuns());
        }
        QCOMPARE(m_fake->messages.texts().size(), 2);
        QVERIFY2(m_fake->messages.texts().first().startsWith(QStringLiteral("无法保存记录: 磁盘已满(")),
                 qPrintable(m_fake->messages.texts().first()));
        QCOMPARE(m_fake->messages.shown.first().icon, MessageIcon::Information);
        QCOMPARE(m_fake->messages.texts().last(), QStringLiteral("该目录文件信息记录完毕!"));
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 200); // the second run only
        QCOMPARE(count(m_db, QStringLiteral("log")), 1);
    }

    void logRowThatCannotBeWrittenIsSaid()
    {
        // The log row belongs to the run: without it the rows are not kept either.
        QTemporaryDir data;
        frmrec w(m_fake->services());
        control<QLineEdit>(w, "Text4")->setText(makeFolder(data));
        query(m_db, QStringLiteral("DROP TABLE log"));
        w.Command5_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(m_fake->messages.texts().size(), 1);
        QVERIFY2(m_fake->messages.texts().first().startsWith(QStringLiteral("无法保存记录: ")),
                 qPrintable(m_fake->messages.texts().first()));
        QCOMPARE(count(m_db, QStringLiteral("fileInf")), 0);
    }

    void text1SelectsAllOnFocus()
    {
        frmrec w(m_fake->services());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QApplication::setActiveWindow(&w); // no window manager activates it under Xvfb
        auto* text1 = control<QLineEdit>(w, "Text1");
        text1->setText(QStringLiteral("12.5"));
        control<QLineEdit>(w, "Text3")->setFocus();
        QTest::mouseClick(text1, Qt::LeftButton, {}, QPoint(2, text1->height() / 2));
        QTRY_VERIFY(text1->hasFocus());
        QCOMPARE(text1->selectedText(), QStringLiteral("12.5"));
        QTest::keyClicks(text1, QStringLiteral("3"));
        QCOMPARE(text1->text(), QStringLiteral("3"));
    }

    void logTimesShowSeconds_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("shown");
        QTest::newRow("zh_CN") << QLocale(QLocale::Chinese, QLocale::China) << "2024/3/5 14:07:09";
        QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates) << "3/5/24 2:07:09 PM";
        QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany) << "05.03.24 14:07:09";
    }

    void logTimesShowSeconds()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, shown);
        const QLocale before;
        QLocale::setDefault(locale);
        const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
        // Two runs within one minute.
        query(m_db, QStringLiteral("INSERT INTO log VALUES ('/a', '2024-03-05 14:07:09')"));
        query(m_db, QStringLiteral("INSERT INTO log VALUES ('/b', '2024-03-05 14:07:41')"));
        Frmlog log(m_fake->services());
        auto* grid = log.findChild<QTableWidget*>(QStringLiteral("MSF1"));
        QCOMPARE(grid->item(0, 1)->text(), shown);
        QVERIFY(grid->item(1, 1)->text() != grid->item(0, 1)->text());
    }

    void text2WrapsLongNames()
    {
        QTemporaryDir data;
        const QString longName = QString(40, QChar(u'长')) + QStringLiteral("_no_spaces_at_all_in_this_name.bin");
        QVERIFY(writeSized(data.filePath(longName), 1 << 20));
        frmrec w(m_fake->services());
        control<QLineEdit>(w, "Text4")->setText(data.path());
        w.Command5_Click();
        QVERIFY(waitForRuns());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.Label1_Click();
        auto* text2 = control<QPlainTextEdit>(w, "Text2");
        QCOMPARE(text2->toPlainText(), longName + u'\n');
        QTRY_VERIFY(text2->document()->firstBlock().layout()->lineCount() > 1);
        QCOMPARE(text2->horizontalScrollBar()->maximum(), 0);
    }

    void logWindow()
    {
        for (const char* folder : {"/one", "/two", "/three"})
            query(m_db,
                  QStringLiteral("INSERT INTO log VALUES ('%1', '2024-03-05 14:07:09')").arg(QLatin1String(folder)));
        frmrec rec(m_fake->services());
        bool shown = false;
        rec.setModalRunner([&](QDialog& dialog) {
            shown = true;
            auto* log = qobject_cast<Frmlog*>(&dialog);
            QVERIFY(log);
            QVERIFY(!log->parentWidget()); // no owner
            QCOMPARE(log->windowTitle(), QStringLiteral("日志"));
            auto* grid = log->findChild<QTableWidget*>(QStringLiteral("MSF1"));
            QVERIFY(grid);
            QCOMPARE(grid->horizontalHeaderItem(0)->text(), QStringLiteral("folder"));
            QCOMPARE(grid->horizontalHeaderItem(1)->text(), QStringLiteral("logtime"));
            QCOMPARE(grid->columnWidth(0), 200);
            QCOMPARE(grid->columnWidth(1), 133);
            QCOMPARE(grid->rowCount(), 3);
            QCOMPARE(grid->item(1, 1)->text(), QStringLiteral("2024/3/5 14:07:09"));
            // Long folders are told apart by their ends: elided in the middle, whole in the tip.
            QCOMPARE(grid->textElideMode(), Qt::ElideMiddle);
            QCOMPARE(grid->item(1, 0)->toolTip(), QStringLiteral("/two"));

            // "删除" removes the oldest row whichever cell is selected.
            grid->setCurrentCell(2, 0);
            log->Command1_Click();
            QCOMPARE(grid->rowCount(), 2);
            QCOMPARE(grid->item(0, 0)->text(), QStringLiteral("/two"));
            log->Command1_Click();
            log->Command1_Click();
            QCOMPARE(grid->rowCount(), 0);
            QVERIFY(m_fake->messages.shown.isEmpty());
            log->Command1_Click();
            QCOMPARE(m_fake->messages.texts(), QStringList{QStringLiteral("没有记录!")});
            QCOMPARE(m_fake->messages.shown.last().icon, MessageIcon::Information);

            // "清空" on an empty log: one message only.
            log->Command2_Click();
            QCOMPARE(m_fake->messages.texts().size(), 2);
        });
        rec.Command4_Click();
        QVERIFY(shown);

        QTemporaryDir data;
        control<QLineEdit>(rec, "Text4")->setText(makeFolder(data));
        rec.Command5_Click();
        QVERIFY(waitForRuns());
        rec.Command5_Click();
        QVERIFY(waitForRuns());
        m_fake->messages.shown.clear();
        Frmlog log(m_fake->services());
        auto* grid = log.findChild<QTableWidget*>(QStringLiteral("MSF1"));
        QCOMPARE(grid->rowCount(), 2);
        QCOMPARE(grid->item(1, 0)->text(), data.path()); // newest last
        log.Command2_Click();
        QCOMPARE(grid->rowCount(), 0);
        QCOMPARE(m_fake->messages.texts(), QStringList{QStringLiteral("已清空日志信息")});
        QCOMPARE(m_fake->messages.shown.last().icon, MessageIcon::None);
        QCOMPARE(count(m_db, QStringLiteral("log")), 0);
    }
};

KORVANE_TEST_MAIN(TestFrmrec)
#include "tst_recorder_frmrec.moc"
