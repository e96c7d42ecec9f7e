// Process-wide pool running each repeating timer on a detached thread of its own.
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_TIMER_POOL_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_TIMER_POOL_H

#include <cstdint>
#include <map>
#include <set>

#include "speech-util/utilcxx/mutex/recmutex.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/thread.h"
#include "speech-util/utilcxx/thread_pool/timer.h"

namespace speech {
namespace util {

class TimerThPool;
typedef TimerThPool* TimerThPoolPtr;

// Sleeps for the timer's interval and runs it, repeat_times() times or until
// cancelled; then frees its channel, releases the timer and deletes itself.
class TimerThread : public BaseThread {
  public:
    TimerThread(TimerThPoolPtr pool, TimerPtr timer) : timer_pool_ptr_(pool), timer_ptr_(timer) {}

  protected:
    int run() override;

  private:
    TimerThPoolPtr timer_pool_ptr_;
    TimerPtr timer_ptr_;
};

// Timers are keyed by channel; a channel runs at most one timer at a time.
// Reached through Singleton<TimerThPool>::instance().
class TimerThPool : public Singleton<TimerThPool> {
  public:
    // Takes ownership of `timer` and starts its thread. False (and the timer
    // released) for a null timer, a busy channel or a thread that could not
    // be started.
    bool execute(TimerPtr timer);

    // Frees the channel; called by a timer thread after its last run.
    void timerCanExit(int channel);

    // Cancels every running timer thread, then sleeps for the longest interval
    // accepted so far. Cancelled timers keep their channels busy.
    void smoothExit();

    // Number of busy channels.
    int getTimerSize();

  protected:
    TimerThPool() = default;
    ~TimerThPool() override = default;

  private:
    friend class Singleton<TimerThPool>;

    RecMutex mutex_;
    std::map<int, TimerThread*> timer_thpool_;
    // Threads already cancelled: never cancelled again, since a thread that
    // has ended may no longer be addressed through its id.
    std::set<TimerThread*> cancelled_;
    uint64_t max_interval_ = 0;
};

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_TIMER_POOL_H
