// Thread pool for tasks handed over as raw pointers; each task is deleted by
// the thread that ran it.
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_THREAD_POOL_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_THREAD_POOL_H

#include "speech-util/utilcxx/thread_pool/basic_thread_pool.h"
#include "speech-util/utilcxx/thread_pool/task.h"

namespace speech {
namespace util {
namespace detail {

struct RawTaskOwnership {
    typedef TaskPtr Handle;
    static bool empty(const Handle& task) { return task == nullptr; }
    static void release(Handle& task) {
        delete task;
        task = nullptr;
    }
};

extern template class BasicTaskThread<RawTaskOwnership>;
extern template class BasicThreadPool<RawTaskOwnership>;

}  // namespace detail

typedef detail::BasicTaskThread<detail::RawTaskOwnership> TaskThread;
typedef detail::BasicThreadPool<detail::RawTaskOwnership> ThreadPool;

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_THREAD_POOL_H
