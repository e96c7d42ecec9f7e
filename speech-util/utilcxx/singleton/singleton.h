// Lazily created, never destroyed, process-wide instance of T.
#ifndef SPEECH_UTIL_UTILCXX_SINGLETON_SINGLETON_H
#define SPEECH_UTIL_UTILCXX_SINGLETON_SINGLETON_H

#include <atomic>
#include <cassert>

#include "speech-util/utilcxx/mutex/recmutex.h"

namespace speech {
namespace util {

// Base class of process-wide services. T makes Singleton<T> a friend and keeps
// its own constructor non-public; the instance is created on the first call of
// instance() and lives until the process ends.
template <typename T>
class Singleton {
  public:
    static T* instance() {
        // Double-checked creation: the acquire load pairs with the release
        // store below, so a thread that sees the pointer also sees the fully
        // constructed object.
        if (obj_instance.load(std::memory_order_acquire) == nullptr) {
            RecMutexLock::Lock lock(mutex_);
            if (obj_instance.load(std::memory_order_relaxed) == nullptr) {
                obj_instance.store(new T(), std::memory_order_release);
            }
        }
        // Written with the compiler's null constant so that a failed
        // assertion reports "obj_instance != __null".
        assert(obj_instance != __null);
        return obj_instance.load(std::memory_order_acquire);
    }

  protected:
    Singleton() = default;
    virtual ~Singleton() = default;

  private:
    Singleton(const Singleton&);
    Singleton& operator=(const Singleton&);

    static RecMutex mutex_;
    static std::atomic<T*> obj_instance;
};

template <typename T>
RecMutex Singleton<T>::mutex_;

template <typename T>
std::atomic<T*> Singleton<T>::obj_instance(nullptr);

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_SINGLETON_SINGLETON_H
