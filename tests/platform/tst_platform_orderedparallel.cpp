// What the engines built on the ordered-parallel helper cannot show themselves: results in
// input order across a stop, and a failing item kept in its place.
#include "platform/orderedparallel.h"

#include "support/testmain.h"

#include <QTest>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

using namespace korvane::platform;

class TestOrderedParallel : public QObject {
    Q_OBJECT
private slots:
    void stopLeavesAPrefixInOrder()
    {
        constexpr int kItems = 200, kWorkers = 4, kStopAt = 30;
        RunControl control;
        std::atomic<int> started{0};
        QList<int> delivered, ran;
        {
            OrderedParallel<int, int> pool(
                kWorkers, 8, &control,
                [&](const int& i) {
                    ++started;
                    if (i == kStopAt)
                        control.requestStop();
                    // Uneven lengths, so that later items finish before earlier ones.
                    std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 5 * 300));
                    return i * 2;
                },
                [&](OrderedParallel<int, int>::Done& done) {
                    delivered << done.item;
                    if (done.ran) {
                        QCOMPARE(done.result, done.item * 2);
                        ran << done.item;
                    }
                });
            for (int i = 0; i < kItems; ++i)
                pool.submit(i);
            pool.finish();
            QCOMPARE(pool.inHand(), std::size_t(0));
        }
        QCOMPARE(delivered.size(), kItems);
        for (int i = 0; i < kItems; ++i)
            QCOMPARE(delivered[i], i);
        // Items start in input order and none starts after the stop: what ran is a prefix that
        // holds the stopping item and at most the ones the other workers had already taken.
        QVERIFY(ran.size() > kStopAt && ran.size() <= kStopAt + kWorkers);
        QCOMPARE(ran.last(), ran.size() - 1);
        QCOMPARE(started.load(), ran.size());
    }

    void failingItemIsKeptInItsPlace()
    {
        QList<int> delivered;
        QString failure;
        OrderedParallel<int, QString> pool(
            3, 4, nullptr,
            [](const int& i) {
                if (i == 5)
                    throw std::runtime_error("item 5 failed");
                return QString::number(i);
            },
            [&](OrderedParallel<int, QString>::Done& done) {
                QVERIFY(done.ran);
                delivered << done.item;
                if (!done.failure) {
                    QCOMPARE(done.result, QString::number(done.item));
                    return;
                }
                QVERIFY(done.result.isEmpty());
                try {
                    std::rethrow_exception(done.failure);
                } catch (const std::runtime_error& e) {
                    failure = QString::number(done.item) + QLatin1Char(' ') + QString::fromUtf8(e.what());
                }
            });
        for (int i = 0; i < 10; ++i)
            pool.submit(i);
        pool.finish();
        QCOMPARE(delivered, QList<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
        QCOMPARE(failure, QStringLiteral("5 item 5 failed"));
    }
};

KORVANE_TEST_GUILESS_MAIN(TestOrderedParallel)
#include "tst_platform_orderedparallel.moc"
