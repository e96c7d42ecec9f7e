// Fault injection for the concurrency tests: this binary defines the POSIX
// thread calls below itself, forwards them to the C library (or a sanitizer's
// interceptor) and fails a call on request.
#ifndef TESTS_SPEECH_UTIL_UTILCXX_POSIX_FAULTS_H
#define TESTS_SPEECH_UTIL_UTILCXX_POSIX_FAULTS_H

#include <cerrno>

namespace vela_test {

enum class PosixCall {
    kMutexAttrSettype,
    kCondAttrInit,
    kAttrInit,
    kCreate,
    kMutexInit,
    kMutexLock,
    kMutexUnlock,
    kMutexDestroy,
    kCondInit,
    kCondWait,
    kCondSignal,
    kCondBroadcast,
    kCondDestroy,
    kCount
};

// The next `times` calls of `call` on the calling thread fail with `err`.
void failNext(PosixCall call, int times = 1, int err = EAGAIN);

// No core file for this process, whatever the core limit.
void disableCoreFiles();

// For death tests: sets the soft core limit to 0 and makes SIGABRT exit with
// kCoreLimitRaised if the soft limit has by then been raised to the hard one.
constexpr int kCoreLimitRaised = 42;
void probeCoreLimitAtAbort();

}  // namespace vela_test

#endif  // TESTS_SPEECH_UTIL_UTILCXX_POSIX_FAULTS_H
