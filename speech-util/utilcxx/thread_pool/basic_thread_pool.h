// Growing, self-shrinking thread pool shared by ThreadPool (raw task pointers,
// deleted after running) and SharedThreadPool (shared task pointers, released
// after running). Ownership policies live in thread_pool.h and
// shared_thread_pool.h.
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_BASIC_THREAD_POOL_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_BASIC_THREAD_POOL_H

#include <pthread.h>

#include <atomic>
#include <deque>
#include <map>
#include <vector>

#include "speech-util/utilcxx/mutex/atomic.h"
#include "speech-util/utilcxx/mutex/monitor.h"
#include "speech-util/utilcxx/mutex/recmutex.h"
#include "speech-util/utilcxx/thread_pool/select_sleep.h"
#include "speech-util/utilcxx/thread_pool/task.h"
#include "speech-util/utilcxx/thread_pool/thread.h"

namespace speech {
namespace util {
namespace detail {

template <class Ownership>
class BasicThreadPool;

// One pool worker. It runs the task it was created with, then takes queued
// tasks; after timewait_times consecutive empty waits for work it leaves the
// pool and deletes itself.
template <class Ownership>
class BasicTaskThread : public BaseThread {
  public:
    typedef typename Ownership::Handle Handle;
    typedef BasicThreadPool<Ownership> Pool;

    BasicTaskThread(Pool* pool, const Handle& task, int timewait_times)
        : p_thpool_(pool), p_task_(task), timewait_times_(timewait_times) {}

    // Releases a task the way the pool does after running it.
    static void freeObject(Handle* task) { Ownership::release(*task); }

  protected:
    int run() override;

  private:
    Pool* p_thpool_;
    Handle p_task_;
    int timewait_times_;
};

template <class Ownership>
class BasicThreadPool {
  public:
    typedef typename Ownership::Handle Handle;
    typedef BasicTaskThread<Ownership> Thread;

    // Idle budget of a thread created below the core size, and above it.
    static constexpr int kCoreThreadBudget = 3600;
    static constexpr int kMaxThreadBudget = 1;
    static constexpr int kMinTimeout = 100;

    // Creates no thread. A time-out of kMinTimeout ms or less becomes kMinTimeout.
    BasicThreadPool(unsigned core_size, unsigned max_size, int channel, int timeo)
        : core_size_(core_size),
          max_size_(max_size),
          channel_(channel),
          timeo_(timeo <= kMinTimeout ? kMinTimeout : timeo) {}

    // Releases tasks still queued and joins retired threads. Must only run
    // once getThreadSize() is 0 and nothing calls execute() any more: live
    // threads are not stopped.
    ~BasicThreadPool();

    BasicThreadPool(const BasicThreadPool&) = delete;
    BasicThreadPool& operator=(const BasicThreadPool&) = delete;

    // Hands a task to the pool, which owns it from then on: wakes an idle
    // thread, or starts a new one (up to the core, then the maximum size), or
    // queues the task. Never refuses work; always returns 0.
    int execute(const Handle& task);

    // Start a thread whose first task is `task` if the pool has fewer threads
    // than the core (budget kCoreThreadBudget) or maximum size (budget
    // kMaxThreadBudget). Return 1 when a thread was started; 0 when the bound is
    // reached or the thread could not be started, the task then still being
    // the caller's.
    int addCoreThreadExecute(const Handle& task) {
        return addThreadExecute(task, core_size_, kCoreThreadBudget) == kStarted ? 1 : 0;
    }
    int addMaxThreadExecute(const Handle& task) {
        return addThreadExecute(task, max_size_, kMaxThreadBudget) == kStarted ? 1 : 0;
    }

    // Called by pool threads: the next queued task, waiting for one for about
    // 2 * timeout() ms at most; an empty handle when none came.
    Handle getTaskWithTimeWait();

    // Called by a retiring thread: removes it from the thread set; during a
    // drain it is listed for joining, otherwise it detaches itself.
    void threadCanExit(Thread* thread);

    // Lets every thread leave as soon as the queue is empty instead of
    // waiting for work, and returns once all have ended, joined (queued tasks
    // still run). The pool starts threads again for later tasks.
    void drain();

    // Live threads; threads running a task; threads blocked waiting for work;
    // queued tasks.
    int getThreadSize();
    int getThreadRuningSize() { return running_threads_.get(); }
    int getThreadBlockingSize() { return idle_threads_.get(); }
    int getTaskInQueueSize();

    // Tasks a thread took from the queue right after its wait had timed out,
    // i.e. tasks that were not handed over by a wake-up (the signal was lost
    // or none was sent) and waited for the time-out instead.
    int getTaskAfterTimeoutCount() { return timeout_pickups_.get(); }

    unsigned coreSize() const { return core_size_; }
    unsigned maxSize() const { return max_size_; }
    int channel() const { return channel_; }
    int timeout() const { return timeo_; }

  private:
    friend class BasicTaskThread<Ownership>;

    enum StartResult { kStarted, kBoundReached, kStartFailed };

    StartResult addThreadExecute(const Handle& task, unsigned bound, int budget);
    // Joins the threads that have retired so far.
    void joinRetired();

    AtomicInt idle_threads_;
    AtomicInt running_threads_;
    AtomicInt timeout_pickups_;
    std::atomic<bool> draining_{false};
    const unsigned core_size_;
    const unsigned max_size_;
    const int channel_;
    const int timeo_;
    std::deque<Handle> task_queue_;
    std::map<Thread*, int> thread_pool_;
    // Threads are started joinable, so that drain() can wait until they have
    // really ended (thread-exit handlers of libraries included) and a process
    // can exit right after it. Guarded by mutex_thread_pool_.
    std::vector<pthread_t> retired_;
    RecMutex mutex_task_queue_;
    RecMutex mutex_thread_pool_;
    Monitor monitor_;
};

template <class Ownership>
int BasicTaskThread<Ownership>::run() {
    int idle_left = timewait_times_;
    while (!Ownership::empty(p_task_)) {
        p_thpool_->running_threads_.incrementAndGet();
        p_task_->runHandle();
        Ownership::release(p_task_);
        p_thpool_->running_threads_.decrementAndGet();

        while (Ownership::empty(p_task_) && idle_left > 0) {
            p_task_ = p_thpool_->getTaskWithTimeWait();
            --idle_left;
        }
        idle_left = timewait_times_;
    }
    p_thpool_->threadCanExit(this);
    delete this;
    return 0;
}

template <class Ownership>
BasicThreadPool<Ownership>::~BasicThreadPool() {
    for (Handle& task : task_queue_) Ownership::release(task);
    joinRetired();
}

template <class Ownership>
void BasicThreadPool<Ownership>::joinRetired() {
    std::vector<pthread_t> ended;
    {
        RecMutexLock::Lock lock(mutex_thread_pool_);
        ended.swap(retired_);
    }
    // A retired thread touches nothing of the pool any more; the join only
    // waits for its exit.
    for (pthread_t tid : ended) pthread_join(tid, nullptr);
}

template <class Ownership>
int BasicThreadPool<Ownership>::execute(const Handle& task) {
    if (Ownership::empty(task)) return 0;

    // The idle count is only a hint: when it is stale the signal is lost and
    // the task waits until a thread next looks at the queue.
    if (idle_threads_.get() > 0) {
        RecMutexLock::Lock lock(mutex_task_queue_);
        task_queue_.push_back(task);
        monitor_.signal();
        return 0;
    }

    const StartResult core = addThreadExecute(task, core_size_, kCoreThreadBudget);
    if (core == kStarted) return 0;
    const StartResult max = addThreadExecute(task, max_size_, kMaxThreadBudget);
    if (max == kStarted) return 0;

    RecMutexLock::Lock lock(mutex_task_queue_);
    task_queue_.push_back(task);
    // After a failed thread start, hand the task to an idle live thread, if
    // any; otherwise it waits for the next thread that looks at the queue.
    if (core == kStartFailed || max == kStartFailed) monitor_.signal();
    return 0;
}

template <class Ownership>
typename BasicThreadPool<Ownership>::StartResult BasicThreadPool<Ownership>::addThreadExecute(
    const Handle& task, unsigned bound, int budget) {
    RecMutexLock::Lock lock(mutex_thread_pool_);
    if (thread_pool_.size() >= bound) return kBoundReached;

    Thread* thread = new Thread(this, task, budget);
    if (thread->start() != 0) {
        // The thread never ran: it holds no claim on the task and must not
        // appear in the thread set.
        delete thread;
        return kStartFailed;
    }
    // Registered before the lock is released, so the thread's own
    // threadCanExit() always finds it.
    thread_pool_.insert(std::make_pair(thread, 0));
    return kStarted;
}

template <class Ownership>
typename BasicThreadPool<Ownership>::Handle BasicThreadPool<Ownership>::getTaskWithTimeWait() {
    // Whether this thread's latest wait ended by time-out; it carries over to
    // the next call, whose first look at the queue may find the task that wait
    // was not woken for.
    static thread_local bool last_wait_timed_out = false;
    int budget = timeo_;
    for (;;) {
        {
            RecMutexLock::Lock lock(mutex_task_queue_);
            if (!task_queue_.empty()) {
                Handle task = task_queue_.front();
                task_queue_.pop_front();
                if (last_wait_timed_out) timeout_pickups_.incrementAndGet();
                last_wait_timed_out = false;
                return task;
            }
        }
        if (draining_.load()) return Handle();
        // The monitor's own mutex is taken without any pool lock held, so a
        // signal sent between the check above and the wait is lost.
        idle_threads_.incrementAndGet();
        last_wait_timed_out = monitor_.timewait(timeo_) == 1;
        idle_threads_.decrementAndGet();

        // A wake-up consumes budget like a time-out.
        budget -= timeo_ / 2;
        if (budget <= 0) return Handle();
    }
}

template <class Ownership>
void BasicThreadPool<Ownership>::threadCanExit(Thread* thread) {
    RecMutexLock::Lock lock(mutex_thread_pool_);
    thread_pool_.erase(thread);
    if (draining_.load()) {
        retired_.push_back(pthread_self());
    } else {
        pthread_detach(pthread_self());
    }
}

template <class Ownership>
void BasicThreadPool<Ownership>::drain() {
    {
        // Threads that retire from here on wait to be joined.
        RecMutexLock::Lock lock(mutex_thread_pool_);
        draining_.store(true);
    }
    while (getThreadSize() != 0) {
        monitor_.signal();  // one waiting thread at a time; the others see the flag on waking
        selectSleepMs(1);
    }
    joinRetired();
    draining_.store(false);
}

template <class Ownership>
int BasicThreadPool<Ownership>::getThreadSize() {
    RecMutexLock::Lock lock(mutex_thread_pool_);
    return static_cast<int>(thread_pool_.size());
}

template <class Ownership>
int BasicThreadPool<Ownership>::getTaskInQueueSize() {
    RecMutexLock::Lock lock(mutex_task_queue_);
    return static_cast<int>(task_queue_.size());
}

}  // namespace detail
}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_BASIC_THREAD_POOL_H
