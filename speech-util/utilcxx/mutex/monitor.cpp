#include "speech-util/utilcxx/mutex/monitor.h"

#include <errno.h>

#include "speech-util/utilcxx/mutex/make_core.h"

namespace speech {
namespace util {

namespace {
constexpr long kNanosPerSecond = 1000000000L;
}  // namespace

Monitor::Monitor() { init(); }

Monitor::~Monitor() { destroy(); }

void Monitor::init() {
    if (pthread_condattr_init(&cattr_) != 0) make_core();
    if (pthread_cond_init(&cv_, &cattr_) != 0) make_core();
    if (pthread_mutex_init(&mutex_, nullptr) != 0) make_core();
}

void Monitor::destroy() {
    pthread_cond_destroy(&cv_);
    pthread_mutex_destroy(&mutex_);
    pthread_condattr_destroy(&cattr_);
}

void Monitor::make_core() { detail::dump_core_and_abort(); }

timespec Monitor::deadlineAfter(const timespec& now, int m_secs) {
    timespec deadline = now;
    deadline.tv_sec += m_secs / 1000;
    long nsec = static_cast<long>(now.tv_nsec) + static_cast<long>(m_secs % 1000) * 1000000L;
    // A negative m_secs gives a negative remainder; borrow as well as carry.
    while (nsec >= kNanosPerSecond) {
        nsec -= kNanosPerSecond;
        ++deadline.tv_sec;
    }
    while (nsec < 0) {
        nsec += kNanosPerSecond;
        --deadline.tv_sec;
    }
    deadline.tv_nsec = nsec;
    return deadline;
}

int Monitor::timewait(int m_secs) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec deadline = deadlineAfter(now, m_secs);

    pthread_mutex_lock(&mutex_);
    int rc = pthread_cond_timedwait(&cv_, &mutex_, &deadline);
    pthread_mutex_unlock(&mutex_);

    if (rc == ETIMEDOUT) return 1;
    return rc;
}

int Monitor::signal() {
    pthread_mutex_lock(&mutex_);
    int rc = pthread_cond_signal(&cv_);
    pthread_mutex_unlock(&mutex_);
    return rc;
}

}  // namespace util
}  // namespace speech
