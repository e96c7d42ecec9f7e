// Repeating job for the timer pool.
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_TIMER_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_TIMER_H

#include <pthread.h>

#include <cstdint>

namespace speech {
namespace util {

// Runs handle() every interval() milliseconds, repeat_times() times (-1:
// until cancelled). At most one timer runs per channel.
class Timer {
  public:
    Timer(int channel, uint64_t interval, int repeat_times)
        : channel_(channel), interval_(interval), repeat_times_(repeat_times) {}
    // Virtual so that the timer pool's release of a finished or rejected timer
    // reaches the derived class and whatever it owns.
    virtual ~Timer() {}

    // The periodic work; its result is ignored.
    virtual int handle() { return 0; }

    // Runs handle() between two cancellation points.
    void runHandle() {
        pthread_testcancel();
        handle();
        pthread_testcancel();
    }

    int channel() const { return channel_; }
    uint64_t interval() const { return interval_; }
    int repeat_times() const { return repeat_times_; }

  private:
    int channel_;
    uint64_t interval_;
    int repeat_times_;
};

typedef Timer* TimerPtr;

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_TIMER_H
