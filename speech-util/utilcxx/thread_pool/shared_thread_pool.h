// Thread pool for tasks handed over as shared pointers; the pool holds one
// reference per queued or running task and drops it after running the task.
#ifndef SPEECH_UTIL_UTILCXX_THREAD_POOL_SHARED_THREAD_POOL_H
#define SPEECH_UTIL_UTILCXX_THREAD_POOL_SHARED_THREAD_POOL_H

#include <boost/shared_ptr.hpp>

#include "speech-util/utilcxx/thread_pool/basic_thread_pool.h"
#include "speech-util/utilcxx/thread_pool/task.h"

namespace speech {
namespace util {
namespace detail {

struct SharedTaskOwnership {
    typedef boost::shared_ptr<Task> Handle;
    static bool empty(const Handle& task) { return !task; }
    static void release(Handle& task) { task.reset(); }
};

extern template class BasicTaskThread<SharedTaskOwnership>;
extern template class BasicThreadPool<SharedTaskOwnership>;

}  // namespace detail

typedef detail::BasicTaskThread<detail::SharedTaskOwnership> SharedTaskThread;
typedef detail::BasicThreadPool<detail::SharedTaskOwnership> SharedThreadPool;

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_THREAD_POOL_SHARED_THREAD_POOL_H
