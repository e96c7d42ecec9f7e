// Plain mutex, condition variable and scope guard that treat any failing
// POSIX call as fatal: they log one line and abort the process.
#ifndef SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_LOCK_H
#define SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_LOCK_H

#include <pthread.h>

namespace speech {
namespace asrcore {

class ASRCondition;

// Non-recursive mutex with default attributes.
class ASRLock {
  public:
    ASRLock();
    ~ASRLock();

    ASRLock(const ASRLock&) = delete;
    ASRLock& operator=(const ASRLock&) = delete;

    int lock();    // 0
    int unlock();  // 0

  private:
    friend class ASRCondition;
    pthread_mutex_t _lock;
};

class ASRCondition {
  public:
    ASRCondition();
    ~ASRCondition();

    ASRCondition(const ASRCondition&) = delete;
    ASRCondition& operator=(const ASRCondition&) = delete;

    // Waits with `lock` held by the caller; 0.
    int wait(ASRLock& lock);
    int signal();     // 0
    int broadcast();  // 0

  private:
    pthread_cond_t _cond;
};

// Locks an ASRLock for the lifetime of the guard.
class LockGuard {
  public:
    explicit LockGuard(ASRLock& lock) : _asr_lock(lock) { _asr_lock.lock(); }
    ~LockGuard() { _asr_lock.unlock(); }

    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

  private:
    ASRLock& _asr_lock;
};

}  // namespace asrcore
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_LOCK_H
