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
using Pool = OrderedParallel<int, int>;

class TestOrderedParallel : public QObject {
    Q_OBJECT
private slots:
    void stopLeavesAPrefixInOrder()
    {
        constexpr int kItems = 200, kWorkers = 4, kStopAt = 30;
        RunControl control;
        std::atomic<int> started{0};
        QList<int> delivered, ran;
        Pool pool(
            kWorkers, 8, &control,
            [&](const int& i) {
                ++started;
                if (i == kStopAt)
                    control.requestStop();
                // Uneven lengths, so that later items finish before earlier ones.
                std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 5 * 300));
                return i * 2;
            },
            [&](Pool::Done& done) {
                delivered << done.item;
                if (done.ran && done.result == done.item * 2)
                    ran << done.item;
            });
        for (int i = 0; i < kItems; ++i)
            pool.submit(i);
        pool.finish();
        QCOMPARE(pool.inHand(), std::size_t(0));
        QCOMPARE(delivered.size(), kItems);
        QVERIFY(std::is_sorted(delivered.cbegin(), delivered.cend()));
        // Items start in input order and none starts after the stop: what ran is a prefix that
        // holds the stopping item and at most the ones the other workers had already taken.
        QVERIFY(ran.size() > kStopAt && ran.size() <= kStopAt + kWorkers);
        QCOMPARE(ran.last(), ran.size() - 1);
        QCOMPARE(started.load(), ran.size());
    }

    void failingItemIsKeptInItsPlace()
    {
        QStringList delivered;
        Pool pool(
            3, 4, nullptr,
            [](const int& i) {
                if (i == 5)
                    throw std::runtime_error("item 5 failed");
                return i;
            },
            [&](Pool::Done& done) {
                try {
                    if (done.failure)
                        std::rethrow_exception(done.failure);
                    delivered << QString::number(done.result);
                } catch (const std::runtime_error& e) {
                    delivered << QString::fromUtf8(e.what());
                }
            });
        for (int i = 0; i < 8; ++i)
            pool.submit(i);
        pool.finish();
        QCOMPARE(delivered.join(u','), QStringLiteral("0,1,2,3,4,item 5 failed,6,7"));
    }
};

KORVANE_TEST_GUILESS_MAIN(TestOrderedParallel)
#include "tst_platform_orderedparallel.moc"
