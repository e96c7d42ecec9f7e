// Base of every worker thread of the pools (started joinable unless detach() is called).
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_THREAD_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_THREAD_H

#include <pthread.h>

namespace speech {
namespace util {

// A thread whose body is run(). The thread blocks SIGPIPE for itself before
// running the body. A body that ends by deleting its own object must not touch
// the object afterwards. Failing to create the start attribute ends the process.
class BaseThread {
  public:
    BaseThread();
    virtual ~BaseThread();

    BaseThread(const BaseThread&) = delete;
    BaseThread& operator=(const BaseThread&) = delete;

    // Marks the start attribute detached; call before start(). Returns the
    // pthread result.
    int detach();

    // Starts the thread; returns the pthread result (0 on success).
    int start();

    pthread_t get_tid() const { return tid_; }

  protected:
    // The thread body.
    virtual int run() = 0;

  private:
    static void* runFunc(void* arg);
    [[noreturn]] static void make_core();

    pthread_t tid_;
    pthread_attr_t attr_;
};

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_THREAD_H
