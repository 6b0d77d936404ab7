#pragma once

#include <QMutex>
#include <QString>
#include <atomic>
#include <cstdint>
#include <limits>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace korvane::platform {

/// Where a run stands, as a window or the command line shows it.
struct ProgressSnapshot {
    qint64 done = 0;        ///< items no longer pending: done, skipped or failed
    qint64 total = -1;      ///< -1 while unknown
    bool totalFinal = true; ///< false while a walk is still finding items: `total` is a floor
    qint64 actedOn = -1;    ///< items acted on, where the engine counts them apart from `done`; else -1
    QString current;        ///< the item being worked on, for display only
    qint64 partDone = 0;    ///< bytes done of the large items in hand (see RunControl::PartOfItem)
    qint64 partTotal = 0;   ///< their bytes in all; 0 when no large item is in hand
    bool stopRequested = false;
};

/// The one contract between a batch engine and whoever runs it (a window, the command line,
/// a test): a stop token the engine polls at every item boundary and inside any item that can
/// take longer than a second, and the progress it reports as it goes.
///
/// Thread-safe: the engine runs on a worker thread while the caller polls snapshot() from its
/// own. Cheap enough to call for every file: the counters are lock-free atomics and the current
/// name is one short lock. requestStop() is async-signal-safe, so a SIGINT handler may call it;
/// it also wakes whoever waits on stopFd().
///
/// An engine that sees stopRequested() finishes or undoes the item in hand (never a partial
/// file under a final name, never half a transaction) and returns what it did so far.
class RunControl {
public:
    RunControl() = default;
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    ~RunControl()
    {
        if (const int fd = m_wakeFd.load(); fd >= 0)
            ::close(fd);
    }

    void requestStop() noexcept
    {
        // Sequentially consistent with stopFd(): either the waiter sees the stop or this sees its descriptor.
        m_stop.store(true);
        if (const int fd = m_wakeFd.load(); fd >= 0)
            wake(fd);
    }
    bool stopRequested() const noexcept { return m_stop.load(std::memory_order_relaxed); }

    /// A descriptor that is readable from the moment a stop is requested, so that a wait in
    /// poll() ends at once on a stop without waking up to look; -1 when none could be made.
    /// It belongs to the control.
    int stopFd() const noexcept
    {
        int fd = m_wakeFd.load();
        if (fd < 0) {
            const int made = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (made < 0)
                return -1;
            if (m_wakeFd.compare_exchange_strong(fd, made))
                fd = made;
            else
                ::close(made);
        }
        if (m_stop.load()) // a stop that came before the descriptor was there
            wake(fd);
        return fd;
    }

    /// The number of items, once known; -1 for unknown.
    void setTotal(qint64 total) noexcept
    {
        m_total.store(total, std::memory_order_relaxed);
        m_totalFinal.store(true, std::memory_order_relaxed);
    }
    /// Grows a total that becomes known piece by piece (a walk that finds more items). Until
    /// totalIsFinal() it counts only what was found so far, so nobody shows it as the whole.
    void addToTotal(qint64 n) noexcept
    {
        m_totalFinal.store(false, std::memory_order_relaxed);
        qint64 t = m_total.load(std::memory_order_relaxed);
        while (!m_total.compare_exchange_weak(t, (t < 0 ? 0 : t) + n, std::memory_order_relaxed)) {
        }
    }
    /// The walk has ended: the grown total is the whole.
    void totalIsFinal() noexcept { m_totalFinal.store(true, std::memory_order_relaxed); }
    /// The item now being worked on.
    void begin(const QString& item)
    {
        QMutexLocker lock(&m_mutex);
        m_current = item;
    }
    /// `n` more items are no longer pending. Counts only rise.
    void advance(qint64 n = 1) noexcept
    {
        // Release, and acquire in snapshot(): a reader that sees this count sees the total
        // the engine had reported before it.
        if (m_done.fetch_add(n, std::memory_order_release) + n >= m_stopAfter.load(std::memory_order_relaxed))
            requestStop();
    }
    /// For a walk that judges more items than it acts on (files matched by type): `n` more
    /// items acted on, among those done. From the first call, with 0 too, the progress says
    /// "已处理 M 个, 已检查 N 个": M these, N the items done.
    void advanceActedOn(qint64 n = 1) noexcept
    {
        qint64 v = m_actedOn.load(std::memory_order_relaxed);
        while (!m_actedOn.compare_exchange_weak(v, (v < 0 ? 0 : v) + n, std::memory_order_relaxed)) {
        }
    }
    /// Requests the stop as soon as `n` items are done: a run limited to a count, or a test
    /// that stops exactly after the k-th item.
    void stopAfter(qint64 n) noexcept { m_stopAfter.store(n, std::memory_order_relaxed); }

    /// Counts one large item's bytes for its lifetime, so that a bar moves while it is worked
    /// on; a null control counts nothing.
    class PartOfItem {
    public:
        PartOfItem(RunControl* control, qint64 bytes) noexcept : m_control(control), m_bytes(bytes)
        {
            if (m_control)
                m_control->m_partTotal.fetch_add(bytes, std::memory_order_relaxed);
        }
        ~PartOfItem()
        {
            if (m_control) {
                m_control->m_partDone.fetch_sub(m_reached, std::memory_order_relaxed);
                m_control->m_partTotal.fetch_sub(m_bytes, std::memory_order_relaxed);
            }
        }
        PartOfItem(const PartOfItem&) = delete;
        PartOfItem& operator=(const PartOfItem&) = delete;
        /// `done` bytes of the item are done.
        void reach(qint64 done) noexcept
        {
            if (m_control)
                m_control->m_partDone.fetch_add(done - std::exchange(m_reached, done), std::memory_order_relaxed);
        }

    private:
        RunControl* m_control;
        qint64 m_bytes;
        qint64 m_reached = 0;
    };

    /// The control of the run on this thread, for calls deep inside an item that take no
    /// control of their own (a file system's copy polls it between chunks); null outside a run.
    static RunControl* current() noexcept { return t_current; }

    /// Makes `control` the thread's current control for its lifetime; a null control
    /// leaves the current one in place.
    class Scope {
    public:
        explicit Scope(RunControl* control) noexcept : m_previous(t_current)
        {
            if (control)
                t_current = control;
        }
        ~Scope() { t_current = m_previous; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        RunControl* m_previous;
    };

    ProgressSnapshot snapshot() const
    {
        ProgressSnapshot s;
        s.done = m_done.load(std::memory_order_acquire);
        s.total = m_total.load(std::memory_order_relaxed);
        s.totalFinal = m_totalFinal.load(std::memory_order_relaxed);
        s.actedOn = m_actedOn.load(std::memory_order_relaxed);
        s.stopRequested = stopRequested();
        s.partDone = m_partDone.load(std::memory_order_relaxed);
        s.partTotal = m_partTotal.load(std::memory_order_relaxed);
        QMutexLocker lock(&m_mutex);
        s.current = m_current;
        return s;
    }

private:
    static void wake(int fd) noexcept
    {
        const std::uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one); // async-signal-safe; the counter stays readable
    }

    static inline thread_local RunControl* t_current = nullptr;

    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_done{0};
    std::atomic<qint64> m_total{-1};
    std::atomic<bool> m_totalFinal{true};
    std::atomic<qint64> m_actedOn{-1};
    std::atomic<qint64> m_stopAfter{std::numeric_limits<qint64>::max()};
    std::atomic<qint64> m_partDone{0};
    std::atomic<qint64> m_partTotal{0};
    mutable std::atomic<int> m_wakeFd{-1};
    mutable QMutex m_mutex;
    QString m_current;
};

/// What a window or the command line says about a stopped run instead of its completion message.
/// `notDone` counts what was found; `foldersLeft` says the stop left folders unwalked, whose
/// items no count holds.
inline QString cancelledText(qint64 done, qint64 notDone, bool foldersLeft = false)
{
    QString text = QStringLiteral("操作已取消: 已处理 %1 个, 未处理 %2 个").arg(done).arg(notDone);
    if (foldersLeft)
        text += QStringLiteral(", 另有未遍历的文件夹");
    return text;
}

} // namespace korvane::platform
