#include "speech-util/utilcxx/mutex/make_core.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

namespace speech {
namespace util {
namespace detail {

void dump_core_and_abort() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_CORE, &limit) == 0) {
        struct rlimit unlimited;
        unlimited.rlim_cur = RLIM_INFINITY;
        unlimited.rlim_max = RLIM_INFINITY;
        if (setrlimit(RLIMIT_CORE, &unlimited) != 0) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_CORE, &limit);
        }
    }
    kill(getpid(), SIGABRT);
    // The signal may be blocked in this thread or handled elsewhere; never
    // return into code that relies on the primitive that failed.
    std::abort();
}

}  // namespace detail
}  // namespace util
}  // namespace speech
