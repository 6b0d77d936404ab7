// Open and modify passwords set, changed and removed by the real office, checked on the stored bytes.

#include "officefixture.h"
#include "wordcrypt/documentword.h"
#include "wordcrypt/nativeword.h"

#include "support/samples.h"
#include "support/testmain.h"
#include <QtTest>

using namespace korvane;
using namespace korvane::testsupport;

class TestLibreOfficePasswords : public OfficeTestCase {
    Q_OBJECT

private slots:
    void officeReadsNativeEncryption()
    {
        // Encrypted without the office, then opened by it with the password: the text is there.
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        platform::FakeDocumentPasswordPrompt unused;
        wordcrypt::NativeWord native(unused);
        auto app = native.createObject(QStringLiteral("word.Application"));
        ScriptedSink sink;
        sink.password = QStringLiteral("密码 739");
        (*app)->setEvents(&sink);
        QVERIFY((*app)->open(QFile::encodeName(doc), false).ok());
        QCOMPARE(sink.failures, QStringList());
        QVERIFY(wordcrypt::inspectWordFile(bytesOf(doc))->encrypted);
        QVERIFY(!holdsText(bytesOf(doc), QStringLiteral("Korvane sample one")));

        m_prompt.answers.clear();
        m_prompt.answers.enqueue(QStringLiteral("密码 739"));
        QVERIFY(run(doc, QString()).ok());
        QCOMPARE(m_sink.failures, QStringList());
        QVERIFY(holdsText(bytesOf(doc), QStringLiteral("Korvane sample one")));
    }

    void setChangeAndRemoveOpenPassword_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("latin") << QStringLiteral("739") << QStringLiteral("new secret");
        QTest::newRow("chinese and space") << QStringLiteral("密码 1") << QStringLiteral(" ");
    }
    void setChangeAndRemoveOpenPassword()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));

        // Set.
        QVERIFY(run(doc, first).ok());
        QCOMPARE(m_sink.failures, QStringList());
        QByteArray bytes = bytesOf(doc);
        auto state = wordcrypt::inspectWordFile(bytes);
        QVERIFY(state && state->encrypted && !state->obfuscated && !state->writeReserved);
        QVERIFY(wordcrypt::rc4PasswordMatches(bytes, first));
        QVERIFY(!wordcrypt::rc4PasswordMatches(bytes, first + QLatin1Char('x')));
        QByteArray plain;
        QCOMPARE(decrypt(doc, first, &plain), 0);
        QVERIFY(holdsText(plain, QStringLiteral("Korvane sample one")));
        QVERIFY(decrypt(doc, QStringLiteral("wrong")) != 0);

        // Change: opening asks for the current password, as Word would.
        m_prompt.asked.clear();
        m_prompt.answers.clear();
        m_prompt.answers.enqueue(first);
        QVERIFY(run(doc, second).ok());
        QCOMPARE(m_prompt.asked, QStringList{doc});
        QCOMPARE(m_sink.failures, QStringList());
        bytes = bytesOf(doc);
        QVERIFY(wordcrypt::rc4PasswordMatches(bytes, second));
        QVERIFY(decrypt(doc, first) != 0);
        QCOMPARE(decrypt(doc, second, &plain), 0);
        QVERIFY(holdsText(plain, QStringLiteral("Korvane sample one")));

        // Remove.
        m_prompt.answers.clear();
        m_prompt.answers.enqueue(second);
        QVERIFY(run(doc, QString()).ok());
        QCOMPARE(m_sink.failures, QStringList());
        bytes = bytesOf(doc);
        state = wordcrypt::inspectWordFile(bytes);
        QVERIFY(state && !state->encrypted && !state->writeReserved);
        QVERIFY(holdsText(bytes, QStringLiteral("Korvane sample one")));
    }

    void encryptedDocumentNeedsTheRightPassword()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        QVERIFY(run(doc, QStringLiteral("right")).ok());
        const QByteArray encrypted = bytesOf(doc);

        m_prompt.answers.clear();
        m_prompt.answers.enqueue(QStringLiteral("wrong"));
        Status r = run(doc, QString());
        QVERIFY(!r.ok());
        QVERIFY(!platform::retryHelps(r)); // asking again would only show the same prompt
        QCOMPARE(bytesOf(doc), encrypted);

        m_prompt.answers.clear(); // the user cancels the prompt
        r = run(doc, QString());
        QVERIFY(!r.ok());
        QVERIFY(!platform::retryHelps(r));
        QCOMPARE(bytesOf(doc), encrypted);
    }

    void writePasswordIsWrittenAndVerified()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("two.doc"));
        // Another user's document keeps its owner and group when root runs the encryptor.
        const bool root = ::getuid() == 0;
        if (root)
            QCOMPARE(::chown(QFile::encodeName(doc).constData(), 65534, 65534), 0);
        QVERIFY(run(doc, QStringLiteral("739"), QStringLiteral("7591")).ok());
        QCOMPARE(m_sink.failures, QStringList());
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(doc).constData(), &st), 0);
        if (root)
            QVERIFY(st.st_uid == 65534 && st.st_gid == 65534);
        const QByteArray bytes = bytesOf(doc);
        const auto state = wordcrypt::inspectWordFile(bytes);
        QVERIFY(state && state->encrypted && state->writeReserved);
        QCOMPARE(decrypt(doc, QStringLiteral("739")), 0);
        const auto stored = wordcrypt::readWriteReservation(QFile::encodeName(doc), QStringLiteral("739"));
        QVERIFY(stored && stored->flag);
        QCOMPARE(stored->password, QStringLiteral("7591"));
    }

    void passwordsRoundTrip_data()
    {
        QTest::addColumn<QString>("before"); ///< plain, both (739/7591), reserved (by another tool), recommended
        QTest::addColumn<QString>("read");
        QTest::addColumn<QString>("write");
        const QString fifteen = QStringLiteral("abcdefghijklmn5");
        QTest::newRow("7591 with open password") << "plain" << QStringLiteral("739") << QStringLiteral("7591");
        QTest::newRow("no open password") << "plain" << QString() << QStringLiteral("7591");
        QTest::newRow("remove both") << "both" << QString() << QString();
        QTest::newRow("change modify, keep open") << "both" << QStringLiteral("739") << QStringLiteral("new");
        QTest::newRow("change open, keep modify") << "both" << QStringLiteral("x1") << QStringLiteral("7591");
        QTest::newRow("chinese modify password")
            << "plain" << QStringLiteral("739") << QStringLiteral("写密码七五九一");
        QTest::newRow("15 characters") << "plain" << fifteen << fifteen;
        QTest::newRow("write-reserved by another tool")
            << "reserved" << QStringLiteral("739") << QStringLiteral("7591");
        QTest::newRow("write-reserved, cleared") << "reserved" << QStringLiteral("739") << QString();
        QTest::newRow("read-only recommended") << "recommended" << QStringLiteral("739") << QStringLiteral("7591");
    }
    void passwordsRoundTrip()
    {
        QFETCH(QString, before);
        QFETCH(QString, read);
        QFETCH(QString, write);
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        m_prompt.answers.clear();
        if (before == QLatin1String("both")) {
            QVERIFY(run(doc, QStringLiteral("739"), QStringLiteral("7591")).ok());
            m_prompt.answers.enqueue(QStringLiteral("739"));
        } else if (before == QLatin1String("reserved")) {
            QTemporaryDir other;
            const QString reserved = other.filePath(QStringLiteral("r.doc"));
            QVERIFY(wordcrypt::writeWriteReservation(QFile::encodeName(doc), QFile::encodeName(reserved), {},
                                                     QStringLiteral("other"))
                        .ok());
            QVERIFY(QFile::remove(doc) && QFile::copy(reserved, doc));
            QFile::setPermissions(doc, QFile::ReadOwner | QFile::WriteOwner);
            QCOMPARE(m_probe->readOnly(doc, {}), QByteArray("1")); // the office opens it read-only
        } else if (before == QLatin1String("recommended")) {
            QVERIFY(setFibFlags(doc, 0x0400));
            QVERIFY(wordcrypt::inspectWordFile(bytesOf(doc))->readOnlyRecommended);
        }
        QVERIFY(run(doc, read, write).ok());
        QCOMPARE(m_sink.failures, QStringList());

        const auto stored = wordcrypt::readWriteReservation(QFile::encodeName(doc), read);
        QVERIFY(stored);
        QCOMPARE(stored->flag, !write.isEmpty());
        QCOMPARE(stored->password, write);
        QByteArray plain = bytesOf(doc);
        const auto state = wordcrypt::inspectWordFile(plain);
        QVERIFY(state);
        QCOMPARE(state->encrypted, !read.isEmpty());
        if (!read.isEmpty())
            QCOMPARE(decrypt(doc, read, &plain), 0);
        QVERIFY(holdsText(plain, QStringLiteral("Korvane sample one")));
        if (before != QLatin1String("recommended"))
            QCOMPARE(m_probe->readOnly(doc, read), QByteArray(write.isEmpty() ? "0" : "1"));
        // Nothing of the work is left beside the document.
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("one.doc")});
    }

    void wordSixAndNinetyFiveAreSavedAsWord97_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("write");
        QTest::newRow("Word 6, both passwords") << QStringLiteral("word6.doc") << QStringLiteral("7591");
        // The office writes this one's associated strings in a layout of its own; new ones replace them.
        QTest::newRow("Word 95, both passwords") << QStringLiteral("word95-mickey.doc") << QStringLiteral("7591");
    }
    void wordSixAndNinetyFiveAreSavedAsWord97()
    {
        QFETCH(QString, name);
        QFETCH(QString, write);
        const QString original = sampleFile(QStringLiteral("doc"), name);
        if (original.isEmpty())
            QSKIP(missingSamples(QStringLiteral("doc"), name));
        QTemporaryDir dir;
        const QString doc = dir.filePath(name);
        QVERIFY(QFile::copy(original, doc));
        QFile::setPermissions(doc, QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(wordcrypt::needsOffice(QFile::encodeName(doc)));
        QVERIFY(run(doc, QStringLiteral("739"), write).ok());
        QCOMPARE(m_sink.failures, QStringList());
        QCOMPARE(m_sink.notes, QStringList{QStringLiteral("已转存为Word 97格式")});
        const auto state = wordcrypt::inspectWordFile(bytesOf(doc));
        QVERIFY2(state && state->encrypted && !state->obfuscated, qPrintable(state.status().message()));
        QCOMPARE(decrypt(doc, QStringLiteral("739")), 0);
        const auto stored = wordcrypt::readWriteReservation(QFile::encodeName(doc), QStringLiteral("739"));
        QVERIFY(stored);
        QCOMPARE(stored->password, write);
    }

    void sixteenCharactersAreRefused()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QByteArray before = bytesOf(doc);
        QVERIFY(run(doc, QStringLiteral("739"), QString(16, u'x')).ok());
        QCOMPARE(m_sink.failures.size(), 2); // the modify password, and the save it prevents
        QVERIFY(m_sink.failures.at(0).contains(QStringLiteral("密码不能超过15个字符")));
        QVERIFY(m_sink.failures.at(1).startsWith(QLatin1String("Save:")));
        QCOMPARE(bytesOf(doc), before);
    }

    void linksKeepPointingAtTheDocument()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QString symlink = dir.filePath(QStringLiteral("link.doc"));
        const QString hardlink = dir.filePath(QStringLiteral("hard.doc"));
        QVERIFY(QFile::link(doc, symlink));
        QCOMPARE(::link(QFile::encodeName(doc).constData(), QFile::encodeName(hardlink).constData()), 0);

        QVERIFY(run(symlink, QStringLiteral("s")).ok());
        QCOMPARE(m_sink.failures, QStringList());
        QVERIFY(QFileInfo(symlink).isSymLink());
        QVERIFY(wordcrypt::rc4PasswordMatches(bytesOf(doc), QStringLiteral("s")));

        m_prompt.answers.clear();
        m_prompt.answers.enqueue(QStringLiteral("s"));
        QVERIFY(run(hardlink, QStringLiteral("h")).ok());
        QCOMPARE(m_sink.failures, QStringList());
        // Both names are one file, whichever way the office replaced it.
        QVERIFY(wordcrypt::rc4PasswordMatches(bytesOf(hardlink), QStringLiteral("h")));
    }

    void nameThatIsNotUtf8()
    {
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path()) + "/\xce\xc4\xbc\xfe"; // "文件" in GBK
        const QByteArray raw = folder + "/\xb1\xa8\xb8\xe6.doc";                       // "报告" in GBK
        QCOMPARE(::mkdir(folder.constData(), 0755), 0);
        QVERIFY(QFile::copy(m_samples.filePath(QStringLiteral("one.doc")), dir.filePath(QStringLiteral("tmp.doc"))));
        QCOMPARE(::rename(QFile::encodeName(dir.filePath(QStringLiteral("tmp.doc"))).constData(), raw.constData()), 0);
        // QDir cannot remove a name that is not UTF-8.
        const auto cleanup = qScopeGuard([&] {
            ::unlink(raw.constData());
            ::rmdir(folder.constData());
        });
        m_sink.password = QStringLiteral("gbk");
        m_sink.writePassword = QStringLiteral("写");
        m_sink.failures.clear();
        QVERIFY(m_app->open(raw, false).ok());
        QCOMPARE(m_sink.failures, QStringList());
        QFile f;
        const int fd = ::open(raw.constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        QVERIFY(f.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
        const QByteArray stored = f.readAll();
        QVERIFY(wordcrypt::rc4PasswordMatches(stored, QStringLiteral("gbk")));
        QCOMPARE(wordcrypt::readWriteReservation(raw, QStringLiteral("gbk"))->password, QStringLiteral("写"));
        // The work folder beside the document is gone too.
        QCOMPARE(::rmdir(folder.constData()), -1);
        QCOMPARE(::unlink(raw.constData()), 0);
        QCOMPARE(::rmdir(folder.constData()), 0);
    }
};

KORVANE_TEST_GUILESS_MAIN(TestLibreOfficePasswords)
#include "tst_wordcrypt_libreofficepasswords.moc"
