#pragma once

// How an engine hands items to workers and takes their results back in input order:
//
//     OrderedParallel<Job, Outcome> pool(workers, 256, control,
//         [](const Job& job) { return perform(job); },       // on a worker
//         [&](auto& done) { record(done.item, done.result); }); // on this thread, in input order
//     for (const Job& job : walk)
//         pool.submit(job, targetName(job)); // may hand back earlier items; waits while full
//     pool.finish();                         // hands back every item still in hand
//
// - submit() first hands back, through `deliver`, the finished items at the head of the
//   queue, then waits (handing back the oldest each time) while `capacity` items are in hand
//   — queued, running, or finished and not yet handed back — and then queues the item. So at
//   most `capacity` results are ever buffered, and an item is never handed back inside its
//   own submit().
// - `deliver` runs on the thread that calls submit() and finish(), never on a worker, once
//   per item and in input order whatever finishes first: it may touch the engine's state.
// - Workers take the oldest queued item whose key is free. Items with the same non-empty key
//   run one after another in input order (one target name, one output folder); items without
//   a key, or with different keys, run side by side.
// - Stop: a worker looks at control->stopRequested() before it starts an item; once it is
//   set no further item starts, and those come back with `ran` false. An item in hand is
//   left to the work, which finds the control through RunControl::current() on its worker.
// - Failure: an exception thrown by the work is caught and kept with its item (`failure`,
//   `ran` true), handed back in its place; the other items go on.
// - finish() must be called before the object goes if every item is to be handed back: the
//   destructor starts nothing more, waits for the items running and drops the rest.

#include "platform/runcontrol.h"

#include <QByteArray>
#include <QSet>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace korvane::platform {

namespace detail {

/// The threads and the queue behind OrderedParallel, independent of the item's type.
class OrderedQueue {
public:
    struct Task {
        virtual ~Task() = default;
        virtual void run() = 0;
        QByteArray key;
        bool ran = false;
        std::exception_ptr failure;
        bool finished = false; ///< guarded by the queue's mutex
    };

    OrderedQueue(int workers, RunControl* control);
    ~OrderedQueue();
    OrderedQueue(const OrderedQueue&) = delete;
    OrderedQueue& operator=(const OrderedQueue&) = delete;

    void push(std::unique_ptr<Task> task);
    /// The oldest task once it has finished; null when there is none, or when it has not
    /// finished and `wait` is false.
    std::unique_ptr<Task> takeFront(bool wait);
    std::size_t inHand() const;

private:
    void work();
    Task* nextFree(); ///< the oldest queued task whose key is free; null when none

    RunControl* m_control;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;             ///< workers: a task queued, a key freed, closing
    std::condition_variable m_finished;         ///< the caller: a task finished
    std::deque<std::unique_ptr<Task>> m_inHand; ///< input order, until taken
    std::deque<Task*> m_queued;                 ///< not yet started, input order
    QSet<QByteArray> m_busyKeys;
    std::vector<std::thread> m_threads;
    bool m_closing = false;
    bool m_callerWaits = false;
};

} // namespace detail

/// Runs items on `workers` threads and hands their results back in input order; the
/// contract is at the top of this file.
template <typename Item, typename Result> class OrderedParallel {
public:
    struct Done {
        Item item;
        Result result{};            ///< value-initialised when the item did not run or threw
        bool ran = false;           ///< false: the stop came before a worker started it
        std::exception_ptr failure; ///< what the work threw
    };
    using Work = std::function<Result(const Item&)>;
    using Deliver = std::function<void(Done&)>;

    OrderedParallel(int workers, std::size_t capacity, RunControl* control, Work work, Deliver deliver)
        : m_capacity(capacity < 1 ? 1 : capacity), m_work(std::move(work)), m_deliver(std::move(deliver)),
          m_queue(workers, control)
    {}

    void submit(Item item, QByteArray key = {})
    {
        while (handBack(false)) {
        }
        while (m_queue.inHand() >= m_capacity)
            handBack(true);
        auto entry = std::make_unique<Entry>(m_work, std::move(item));
        entry->key = std::move(key);
        m_queue.push(std::move(entry));
    }

    /// Hands back every item in hand, waiting for each.
    void finish()
    {
        while (handBack(true)) {
        }
    }

    std::size_t inHand() const { return m_queue.inHand(); }

private:
    struct Entry final : detail::OrderedQueue::Task {
        Entry(const Work& w, Item&& item) : work(w) { done.item = std::move(item); }
        void run() override { done.result = work(done.item); }
        const Work& work;
        Done done;
    };

    bool handBack(bool wait)
    {
        std::unique_ptr<detail::OrderedQueue::Task> task = m_queue.takeFront(wait);
        if (!task)
            return false;
        auto& entry = static_cast<Entry&>(*task);
        entry.done.ran = entry.ran;
        entry.done.failure = entry.failure;
        m_deliver(entry.done);
        return true;
    }

    std::size_t m_capacity;
    Work m_work;
    Deliver m_deliver;
    detail::OrderedQueue m_queue; ///< last: its threads go before the work they call
};

} // namespace korvane::platform
