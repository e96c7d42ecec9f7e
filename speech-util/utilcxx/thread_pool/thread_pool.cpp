#include "speech-util/utilcxx/thread_pool/thread_pool.h"

namespace speech {
namespace util {
namespace detail {

template class BasicTaskThread<RawTaskOwnership>;
template class BasicThreadPool<RawTaskOwnership>;

}  // namespace detail
}  // namespace util
}  // namespace speech
