// Joinable or detachable thread whose body is the virtual handle().
#ifndef SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_THREAD_H
#define SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_THREAD_H

#include <pthread.h>

#include <atomic>

#include "speech-util/utilcxx/dispatch_queue/asr_lock.h"

namespace speech {
namespace asrcore {

// start() runs handle() on a new thread with SIGPIPE blocked. stop() asks the
// body to end (it polls is_stop()) and joins a joinable thread; a detached
// thread keeps its handle and cannot be started again. The owner stops a
// joinable thread before destroying the object. Start, join and detach
// failures are logged and returned.
class ASRThread {
  public:
    ASRThread() = default;
    virtual ~ASRThread() = default;

    ASRThread(const ASRThread&) = delete;
    ASRThread& operator=(const ASRThread&) = delete;

    // 0 on success, -1 while a thread is recorded, else the error number.
    int start();
    // 0 or the join's error number.
    int stop();
    // 0 or the detach's error number; a second call does nothing.
    int detach();

    bool is_stop() const { return _is_stop.load(); }

    // Thread entry; `p` is the object.
    static void* run(void* p);

  protected:
    // The thread body; it must not call start(), stop() or detach().
    virtual void handle() = 0;

  private:
    // Read by the body without the lock while stop() holds it to join.
    std::atomic<bool> _is_stop{false};
    bool _is_detach = false;
    pthread_t _thread_handle = 0;
    ASRLock _lock;
};

}  // namespace asrcore
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_THREAD_H
