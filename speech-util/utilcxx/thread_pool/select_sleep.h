// Millisecond sleep that is a thread cancellation point.
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_SELECT_SLEEP_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_SELECT_SLEEP_H

#include <sys/select.h>

#include <cerrno>
#include <cstdint>

namespace speech {
namespace util {
namespace detail {

// Sleeps with select() and no descriptors; an interrupting signal does not
// shorten the sleep (Linux leaves the remaining time in the timeout).
inline void selectSleepMs(uint64_t m_secs) {
    timeval timeout;
    timeout.tv_sec = static_cast<time_t>(m_secs / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((m_secs % 1000) * 1000);
    while (select(0, nullptr, nullptr, nullptr, &timeout) < 0 && errno == EINTR) {
    }
}

}  // namespace detail
}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_SELECT_SLEEP_H
