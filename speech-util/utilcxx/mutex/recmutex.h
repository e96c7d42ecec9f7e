// Recursive POSIX mutex and its scoped lock.
#ifndef SPEECH_UTIL_UTILCXX_MUTEX_RECMUTEX_H
#define SPEECH_UTIL_UTILCXX_MUTEX_RECMUTEX_H

#include <pthread.h>

#include "speech-util/utilcxx/mutex/make_core.h"

namespace speech {
namespace util {

// A mutex that the holding thread may lock again; every lock needs a matching
// unlock. Failing to create it ends the process (see make_core()).
class RecMutex {
  public:
    RecMutex() { init(); }
    ~RecMutex() { destroy(); }

    RecMutex(const RecMutex&) = delete;
    RecMutex& operator=(const RecMutex&) = delete;

    void lock() { pthread_mutex_lock(&rec_mutex_); }
    void unlock() { pthread_mutex_unlock(&rec_mutex_); }

  private:
    void init() {
        init_mutexattr();
        if (pthread_mutex_init(&rec_mutex_, &mattr_) != 0) make_core();
    }
    void init_mutexattr() {
        if (pthread_mutexattr_init(&mattr_) != 0) make_core();
        if (pthread_mutexattr_settype(&mattr_, PTHREAD_MUTEX_RECURSIVE) != 0) make_core();
    }
    void destroy() {
        pthread_mutexattr_destroy(&mattr_);
        pthread_mutex_destroy(&rec_mutex_);
    }
    [[noreturn]] static void make_core() { detail::dump_core_and_abort(); }

    pthread_mutex_t rec_mutex_;
    pthread_mutexattr_t mattr_;
};

class RecMutexLock {
  public:
    // Holds a RecMutex for the lifetime of the object.
    class Lock {
      public:
        explicit Lock(RecMutex& rec_mutex) : rec_mutex_(rec_mutex) { rec_mutex_.lock(); }
        ~Lock() { rec_mutex_.unlock(); }

        Lock() = delete;
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        RecMutex& rec_mutex_;
    };
};

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_MUTEX_RECMUTEX_H
