#include "speech-util/utilcxx/thread_pool/shared_thread_pool.h"

namespace speech {
namespace util {
namespace detail {

template class BasicTaskThread<SharedTaskOwnership>;
template class BasicThreadPool<SharedTaskOwnership>;

}  // namespace detail
}  // namespace util
}  // namespace speech
