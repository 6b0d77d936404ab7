#include "platform/orderedparallel.h"

#include <algorithm>

namespace korvane::platform::detail {

OrderedQueue::OrderedQueue(int workers, RunControl* control) : m_control(control)
{
    for (int i = 0; i < std::max(1, workers); ++i)
        m_threads.emplace_back([this] { work(); });
}

OrderedQueue::~OrderedQueue()
{
    {
        const std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

void OrderedQueue::push(std::unique_ptr<Task> task)
{
    {
        const std::lock_guard lock(m_mutex);
        m_queued.push_back(task.get());
        m_inHand.push_back(std::move(task));
    }
    m_wake.notify_one();
}

std::unique_ptr<OrderedQueue::Task> OrderedQueue::takeFront(bool wait)
{
    std::unique_lock lock(m_mutex);
    if (m_inHand.empty())
        return nullptr;
    if (!m_inHand.front()->finished) {
        if (!wait)
            return nullptr;
        m_callerWaits = true;
        m_finished.wait(lock, [this] { return m_inHand.front()->finished; });
        m_callerWaits = false;
    }
    std::unique_ptr<Task> task = std::move(m_inHand.front());
    m_inHand.pop_front();
    return task;
}

std::size_t OrderedQueue::inHand() const
{
    const std::lock_guard lock(m_mutex);
    return m_inHand.size();
}

OrderedQueue::Task* OrderedQueue::nextFree()
{
    // Usually the first: a later task is taken only while an earlier one waits for its key.
    const auto free = std::find_if(m_queued.begin(), m_queued.end(), [this](const Task* task) {
        return task->key.isEmpty() || !m_busyKeys.contains(task->key);
    });
    if (free == m_queued.end())
        return nullptr;
    Task* task = *free;
    m_queued.erase(free);
    return task;
}

void OrderedQueue::work()
{
    // Calls deep inside an item (a copy's chunks, a helper's wait) poll the run's stop.
    const RunControl::Scope scope(m_control);
    std::unique_lock lock(m_mutex);
    for (;;) {
        Task* task = nullptr;
        m_wake.wait(lock, [&] { return m_closing || (task = nextFree()) != nullptr; });
        if (m_closing)
            return;
        if (!task->key.isEmpty())
            m_busyKeys.insert(task->key);
        lock.unlock();
        if (!m_control || !m_control->stopRequested()) {
            task->ran = true;
            try {
                task->run();
            } catch (...) {
                task->failure = std::current_exception();
            }
        }
        lock.lock();
        task->finished = true;
        const bool keyFreed = !task->key.isEmpty() && m_busyKeys.remove(task->key);
        if (m_callerWaits)
            m_finished.notify_one();
        if (keyFreed && !m_queued.empty())
            m_wake.notify_one();
    }
}

} // namespace korvane::platform::detail
