// Small helpers shared by the CMFE data operations.
#ifndef VAD_MFEINTERNAL_H
#define VAD_MFEINTERNAL_H

#include <pthread.h>
#include <unistd.h>

#include <cstdint>

namespace mfe_internal {

// Every data operation ends by releasing the engine and pausing the caller
// for 2 ms, which paces callers that poll in a tight loop.
constexpr useconds_t kThrottleUs = 2000;

inline int unlockAndSleep(pthread_mutex_t* m, int ret) {
    pthread_mutex_unlock(m);
    usleep(kThrottleUs);
    return ret;
}

// Largest multiple of `unit` not above to - from (0 when to <= from).
inline uint64_t wholeUnits(uint64_t from, uint64_t to, uint64_t unit) {
    return to > from ? (to - from) / unit * unit : 0;
}

}  // namespace mfe_internal

#endif  // VAD_MFEINTERNAL_H
