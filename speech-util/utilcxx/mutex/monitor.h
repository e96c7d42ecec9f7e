// Condition variable with a private mutex and a millisecond time-out.
#ifndef SPEECH_UTIL_UTILCXX_MUTEX_MONITOR_H
#define SPEECH_UTIL_UTILCXX_MUTEX_MONITOR_H

#include <pthread.h>
#include <time.h>

namespace speech {
namespace util {

// The monitor keeps no predicate and no count: a signal sent while no thread
// is blocked in timewait() is lost. Users re-check their own state after every
// wake-up or time-out. Failing to create it ends the process.
class Monitor {
  public:
    Monitor();
    ~Monitor();

    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Waits at most m_secs milliseconds (measured on CLOCK_REALTIME) for a
    // signal. Returns 0 when woken (by a signal or spuriously), 1 when the
    // time-out expired, any other wait result unchanged.
    int timewait(int m_secs);

    // Wakes at most one waiter; returns the result of the signal call.
    int signal();

    // The absolute deadline m_secs milliseconds after `now`, with the
    // nanosecond field kept within [0, 1e9).
    static timespec deadlineAfter(const timespec& now, int m_secs);

  private:
    void init();
    void destroy();
    [[noreturn]] static void make_core();

    pthread_cond_t cv_;
    pthread_mutex_t mutex_;
    pthread_condattr_t cattr_;
};

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_MUTEX_MONITOR_H
