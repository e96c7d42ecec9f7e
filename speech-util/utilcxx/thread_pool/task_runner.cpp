#include "speech-util/utilcxx/thread_pool/task_runner.h"

#include <vector>

#include "speech-util/utilcxx/thread_pool/select_sleep.h"
#include "speech-util/utilcxx/thread_pool/timer_pool.h"

namespace speech {
namespace util {

namespace {
constexpr uint64_t kQuiescencePollMs = 300;
}  // namespace

TaskRunner::~TaskRunner() {
    for (auto& entry : thpools_) delete entry.second;
    for (auto& entry : shared_thpools_) delete entry.second;
}

int TaskRunner::threadPoolConfig(int channel, const PoolSizes& sizes) {
    RecMutexLock::Lock lock(mutex_);
    if (thpools_.count(channel) != 0) return -1;
    thpool_config_[channel] = sizes;
    return 0;
}

TaskRunner::PoolSizes TaskRunner::sizesFor(int channel) const {
    auto config = thpool_config_.find(channel);
    if (config != thpool_config_.end()) return config->second;
    return PoolSizes(kDefaultCoreSize, kDefaultMaxSize);
}

void TaskRunner::execute(TaskPtr task) {
    if (task == nullptr) return;
    RecMutexLock::Lock lock(mutex_);
    const int channel = task->channel();

    if (shared_thpools_.count(channel) != 0) {
        // The shared pointer owns the task from here on.
        execute(boost::shared_ptr<Task>(task));
        return;
    }
    auto pool = thpools_.find(channel);
    if (pool != thpools_.end()) {
        pool->second->execute(task);
        return;
    }
    const PoolSizes sizes = sizesFor(channel);
    ThreadPool* created = new ThreadPool(static_cast<unsigned>(sizes.first),
                                         static_cast<unsigned>(sizes.second), channel, pool_timeout_);
    created->execute(task);
    thpools_[channel] = created;
}

void TaskRunner::execute(const boost::shared_ptr<Task>& task) {
    if (!task) return;
    RecMutexLock::Lock lock(mutex_);
    const int channel = task->channel();

    auto pool = shared_thpools_.find(channel);
    if (pool != shared_thpools_.end()) {
        pool->second->execute(task);
        return;
    }
    const PoolSizes sizes = sizesFor(channel);
    SharedThreadPool* created = new SharedThreadPool(
        static_cast<unsigned>(sizes.first), static_cast<unsigned>(sizes.second), channel, pool_timeout_);
    created->execute(task);
    shared_thpools_[channel] = created;
}

bool TaskRunner::scheduleRepeated(TimerPtr timer) {
    if (timer == nullptr) return false;
    return Singleton<TimerThPool>::instance()->execute(timer);
}

void TaskRunner::smoothExit() {
    for (;;) {
        std::vector<ThreadPool*> pools;
        {
            // Held only while copying, never while sleeping.
            RecMutexLock::Lock lock(mutex_);
            for (const auto& entry : thpools_) pools.push_back(entry.second);
        }
        bool busy = false;
        for (ThreadPool* pool : pools) {
            if (pool->getThreadSize() != 0) {
                busy = true;
                break;
            }
        }
        if (!busy) break;
        detail::selectSleepMs(kQuiescencePollMs);
    }
    Singleton<TimerThPool>::instance()->smoothExit();
}

void TaskRunner::drain() {
    std::vector<ThreadPool*> pools;
    std::vector<SharedThreadPool*> shared_pools;
    {
        // Pools are never removed, so they outlive the lock.
        RecMutexLock::Lock lock(mutex_);
        for (const auto& entry : thpools_) pools.push_back(entry.second);
        for (const auto& entry : shared_thpools_) shared_pools.push_back(entry.second);
    }
    for (ThreadPool* pool : pools) pool->drain();
    for (SharedThreadPool* pool : shared_pools) pool->drain();
}

template <typename Query>
int TaskRunner::sumOverPools(int channel, Query query) {
    RecMutexLock::Lock lock(mutex_);
    int total = 0;
    auto pool = thpools_.find(channel);
    if (pool != thpools_.end()) total += query(*pool->second);
    auto shared_pool = shared_thpools_.find(channel);
    if (shared_pool != shared_thpools_.end()) total += query(*shared_pool->second);
    return total;
}

int TaskRunner::getTaskInQueueSize(int channel) {
    return sumOverPools(channel, [](auto& pool) { return pool.getTaskInQueueSize(); });
}

int TaskRunner::getThreadRunningSize(int channel) {
    return sumOverPools(channel, [](auto& pool) { return pool.getThreadRuningSize(); });
}

int TaskRunner::getThreadBlockingSize(int channel) {
    return sumOverPools(channel, [](auto& pool) { return pool.getThreadBlockingSize(); });
}

int TaskRunner::getThreadSize(int channel) {
    return sumOverPools(channel, [](auto& pool) { return pool.getThreadSize(); });
}

int TaskRunner::getTaskAfterTimeoutCount(int channel) {
    return sumOverPools(channel, [](auto& pool) { return pool.getTaskAfterTimeoutCount(); });
}

void TaskRunner::getThreadPoolConfig(std::map<int, PoolSizes>& config) {
    RecMutexLock::Lock lock(mutex_);
    config = thpool_config_;
}

void TaskRunner::setPoolTimeout(int timeo) {
    RecMutexLock::Lock lock(mutex_);
    pool_timeout_ = timeo;
}

}  // namespace util
}  // namespace speech
