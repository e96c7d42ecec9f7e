// Unit of background work run by a thread pool.
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_TASK_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_TASK_H

#include <pthread.h>

namespace speech {
namespace util {

// A task carries the channel (pool identifier) it runs on. A pool that is
// handed a raw task owns it and deletes it after handle() has returned.
class Task {
  public:
    explicit Task(int channel) : channel_(channel) {}
    virtual ~Task() {}

    // The work; the base class does nothing.
    virtual void handle() {}

    // Runs handle() between two cancellation points, so that a pending
    // cancellation of the worker takes effect just before or just after it.
    void runHandle() {
        pthread_testcancel();
        handle();
        pthread_testcancel();
    }

    int channel() const { return channel_; }

  protected:
    int channel_;
};

typedef Task* TaskPtr;

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_TASK_H
