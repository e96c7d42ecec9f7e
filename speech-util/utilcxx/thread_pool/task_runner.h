// Process-wide entry point for background work: one thread pool per channel,
// created on the channel's first task.
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_TASK_RUNNER_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_TASK_RUNNER_H

#include <boost/shared_ptr.hpp>
#include <map>
#include <utility>

#include "speech-util/utilcxx/mutex/recmutex.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/shared_thread_pool.h"
#include "speech-util/utilcxx/thread_pool/task.h"
#include "speech-util/utilcxx/thread_pool/thread_pool.h"
#include "speech-util/utilcxx/thread_pool/timer.h"

namespace speech {
namespace util {

// Reached through Singleton<TaskRunner>::instance(). Pools are never removed
// while the runner lives. Lock order: the runner's lock before any pool lock.
class TaskRunner : public Singleton<TaskRunner> {
  public:
    typedef std::pair<int, int> PoolSizes;  // (core size, maximum size)

    static constexpr int kDefaultCoreSize = 10;
    static constexpr int kDefaultMaxSize = 100;
    static constexpr int kDefaultPoolTimeout = 1000;

    // Sizes for the channel's pool, used when it is created (as unsigned
    // values). -1 (and no change) once the channel's raw-pointer pool exists;
    // 0 otherwise, the pair replacing an earlier one.
    int threadPoolConfig(int channel, const PoolSizes& sizes);

    // Runs the task on its channel's pool; the runner owns it from now on. A
    // channel that already has a shared-pointer pool runs raw tasks there too.
    // A null task is ignored.
    void execute(TaskPtr task);

    // Runs the task on its channel's shared-pointer pool, which keeps its own
    // reference until the task has run. An empty pointer is ignored.
    void execute(const boost::shared_ptr<Task>& task);

    // Hands the timer to the timer pool (which owns it from then on); false
    // for a null timer or when the timer pool rejects it.
    bool scheduleRepeated(TimerPtr timer);

    // Waits until every raw-pointer pool has no thread left (polling every
    // 300 ms), then stops the timer pool. Threads retire only after their idle
    // budget, so a pool that has core threads keeps this waiting for a long time.
    void smoothExit();

    // Lets the threads of every pool leave once their queues are empty and
    // returns when no pool thread is left; later tasks start new threads.
    void drain();

    // Per-channel counts over the channel's pools (0 for a channel without
    // pools): queued tasks, threads running a task, threads waiting for work,
    // live threads, and tasks that waited for a wait time-out.
    int getTaskInQueueSize(int channel);
    int getThreadRunningSize(int channel);
    int getThreadBlockingSize(int channel);
    int getThreadSize(int channel);
    int getTaskAfterTimeoutCount(int channel);

    // Copies the configured sizes into `config`, replacing its content.
    void getThreadPoolConfig(std::map<int, PoolSizes>& config);

    // Wait time-out in ms of pools created from now on (default
    // kDefaultPoolTimeout); a shorter one lets idle threads retire sooner.
    void setPoolTimeout(int timeo);

  protected:
    TaskRunner() = default;
    // Deletes the pools; only valid once they have no threads.
    ~TaskRunner() override;

  private:
    friend class Singleton<TaskRunner>;

    PoolSizes sizesFor(int channel) const;
    template <typename Query>
    int sumOverPools(int channel, Query query);

    std::map<int, PoolSizes> thpool_config_;
    std::map<int, ThreadPool*> thpools_;
    std::map<int, SharedThreadPool*> shared_thpools_;
    int pool_timeout_ = kDefaultPoolTimeout;
    RecMutex mutex_;
};

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_TASK_RUNNER_H
