// Fail-fast ending for primitives that could not be created.
#ifndef SPEECH_UTIL_UTILCXX_MUTEX_MAKE_CORE_H
#define SPEECH_UTIL_UTILCXX_MUTEX_MAKE_CORE_H

namespace speech {
namespace util {
namespace detail {

// Raises the core-file size limit as far as allowed (both limits to unlimited,
// or else both to the previous hard limit) and ends the process with SIGABRT,
// so that a failed mutex, monitor or thread attribute leaves a core file.
[[noreturn]] void dump_core_and_abort();

}  // namespace detail
}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_MUTEX_MAKE_CORE_H
