#include "speech-util/utilcxx/thread_pool/timer_pool.h"

#include <pthread.h>

#include "speech-util/utilcxx/thread_pool/select_sleep.h"

namespace speech {
namespace util {

int TimerThread::run() {
    if (timer_ptr_ == nullptr || timer_pool_ptr_ == nullptr) {
        delete this;
        return 0;
    }
    const uint64_t interval = timer_ptr_->interval();
    int count = timer_ptr_->repeat_times();
    // -1 repeats until cancelled; otherwise run while the count, taken before
    // it is decremented, is at least 1.
    for (;;) {
        if (count != -1) {
            if (count < 1) break;
            --count;
        }
        detail::selectSleepMs(interval);  // cancellation point
        timer_ptr_->runHandle();          // cancellation points around handle()
    }
    // The runs are over: finish the bookkeeping even if a cancellation
    // request arrives now.
    int old_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_state);
    timer_pool_ptr_->timerCanExit(timer_ptr_->channel());
    delete timer_ptr_;
    delete this;
    return 0;
}

bool TimerThPool::execute(TimerPtr timer) {
    if (timer == nullptr) return false;
    const int channel = timer->channel();
    const uint64_t interval = timer->interval();

    RecMutexLock::Lock lock(mutex_);
    if (timer_thpool_.count(channel) != 0) {
        delete timer;
        return false;
    }
    TimerThread* thread = new TimerThread(this, timer);
    thread->detach();
    if (thread->start() != 0) {
        // Never ran: leave the channel free rather than busy for ever.
        delete thread;
        delete timer;
        return false;
    }
    if (interval > max_interval_) max_interval_ = interval;
    // Registered before the lock is released, so the thread's own
    // timerCanExit() always finds the entry.
    timer_thpool_[channel] = thread;
    return true;
}

void TimerThPool::timerCanExit(int channel) {
    RecMutexLock::Lock lock(mutex_);
    auto entry = timer_thpool_.find(channel);
    if (entry == timer_thpool_.end()) return;
    // The thread is about to delete itself; its address may be reused.
    cancelled_.erase(entry->second);
    timer_thpool_.erase(entry);
}

void TimerThPool::smoothExit() {
    uint64_t wait_ms;
    {
        RecMutexLock::Lock lock(mutex_);
        for (const auto& entry : timer_thpool_) {
            // Every registered thread is alive: it deregisters under mutex_
            // before it ends, unless a cancellation ended it.
            if (cancelled_.insert(entry.second).second) pthread_cancel(entry.second->get_tid());
        }
        wait_ms = max_interval_;
    }
    detail::selectSleepMs(wait_ms);
}

int TimerThPool::getTimerSize() {
    RecMutexLock::Lock lock(mutex_);
    return static_cast<int>(timer_thpool_.size());
}

}  // namespace util
}  // namespace speech
