// Fault injection for POSIX thread calls in the utility tests: the test
// binary defines these functions itself, forwards every call to the C library
// (or to a sanitizer's interceptor) and fails selected calls on request.
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

// The next `times` calls of `call` made by the calling thread fail with `err`.
void failNext(PosixCall call, int times = 1, int err = EAGAIN);

// Ends the process without a core file even if a fatal path raises the limit.
void disableCoreFiles();

// In a death-test child: lowers the soft core limit to 0 and installs a
// SIGABRT handler that exits with kCoreLimitRaised when the soft limit has been
// raised to the hard limit by then, kCoreLimitUnchanged otherwise.
constexpr int kCoreLimitRaised = 42;
constexpr int kCoreLimitUnchanged = 43;
void probeCoreLimitAtAbort();

}  // namespace vela_test

#endif  // TESTS_SPEECH_UTIL_UTILCXX_POSIX_FAULTS_H
