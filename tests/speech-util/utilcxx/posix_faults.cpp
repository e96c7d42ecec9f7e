#include "posix_faults.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

// The sanitizer runtimes call some of these functions themselves, e.g. while
// a new thread is not yet set up for instrumented code: keep them plain.
#define VELA_UNINSTRUMENTED __attribute__((no_sanitize("thread", "address", "undefined")))

namespace vela_test {
namespace {

constexpr int kCalls = static_cast<int>(PosixCall::kCount);
// Constant-initialised, as they are read before main() and by every thread.
__thread int t_fail_count[kCalls];
__thread int t_fail_err[kCalls];

// Error to return when the call should fail, else 0.
VELA_UNINSTRUMENTED int injected(PosixCall call) {
    const int i = static_cast<int>(call);
    if (t_fail_count[i] <= 0) return 0;
    --t_fail_count[i];
    return t_fail_err[i];
}

// The next definition of `name` after this binary (C library or interceptor).
template <typename Fn>
VELA_UNINSTRUMENTED Fn next(void** cache, const char* name) {
    void* fn = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (fn == nullptr) {
        fn = dlsym(RTLD_NEXT, name);
        __atomic_store_n(cache, fn, __ATOMIC_RELEASE);
    }
    return reinterpret_cast<Fn>(fn);
}

}  // namespace

void failNext(PosixCall call, int times, int err) {
    t_fail_count[static_cast<int>(call)] = times;
    t_fail_err[static_cast<int>(call)] = err;
}

void disableCoreFiles() { prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }

void probeCoreLimitAtAbort() {
    disableCoreFiles();
    rlimit limit;
    getrlimit(RLIMIT_CORE, &limit);
    limit.rlim_cur = 0;
    setrlimit(RLIMIT_CORE, &limit);
    signal(SIGABRT, [](int) {
        rlimit now;
        getrlimit(RLIMIT_CORE, &now);
        _exit(now.rlim_cur == now.rlim_max ? kCoreLimitRaised : 1);
    });
}

}  // namespace vela_test

// Each wrapper fails on request, otherwise forwards to the next definition.
// `marking` repeats the C library's noexcept marking.
#define VELA_FAULTABLE(name, call, params, args, marking)                          \
    extern "C" VELA_UNINSTRUMENTED int name params marking {                       \
        if (int err = vela_test::injected(vela_test::PosixCall::call)) return err; \
        static void* real = nullptr;                                               \
        return vela_test::next<int(*) params>(&real, #name) args;                  \
    }

VELA_FAULTABLE(pthread_mutexattr_settype, kMutexAttrSettype, (pthread_mutexattr_t * a, int t), (a, t),
               noexcept)
VELA_FAULTABLE(pthread_condattr_init, kCondAttrInit, (pthread_condattr_t * a), (a), noexcept)
VELA_FAULTABLE(pthread_attr_init, kAttrInit, (pthread_attr_t * a), (a), noexcept)
VELA_FAULTABLE(pthread_create, kCreate,
               (pthread_t * t, const pthread_attr_t* a, void* (*f)(void*), void* arg), (t, a, f, arg),
               noexcept)
VELA_FAULTABLE(pthread_mutex_init, kMutexInit, (pthread_mutex_t * m, const pthread_mutexattr_t* a), (m, a),
               noexcept)
VELA_FAULTABLE(pthread_mutex_lock, kMutexLock, (pthread_mutex_t * m), (m), noexcept)
VELA_FAULTABLE(pthread_mutex_unlock, kMutexUnlock, (pthread_mutex_t * m), (m), noexcept)
VELA_FAULTABLE(pthread_mutex_destroy, kMutexDestroy, (pthread_mutex_t * m), (m), noexcept)
VELA_FAULTABLE(pthread_cond_init, kCondInit, (pthread_cond_t * c, const pthread_condattr_t* a), (c, a),
               noexcept)
VELA_FAULTABLE(pthread_cond_wait, kCondWait, (pthread_cond_t * c, pthread_mutex_t* m), (c, m), )
VELA_FAULTABLE(pthread_cond_signal, kCondSignal, (pthread_cond_t * c), (c), noexcept)
VELA_FAULTABLE(pthread_cond_broadcast, kCondBroadcast, (pthread_cond_t * c), (c), noexcept)
VELA_FAULTABLE(pthread_cond_destroy, kCondDestroy, (pthread_cond_t * c), (c), noexcept)
