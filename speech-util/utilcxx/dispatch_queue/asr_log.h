// Process-wide log-level gate and source-path trimming for the thread and
// lock wrappers.
#ifndef SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_LOG_H
#define SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_LOG_H

#include <cstdint>

namespace speech {
namespace asrcore {

// Stores the gate level (initially 5).
void set_log_level(int32_t level);

// Whether a message of `level` passes the gate: the gate level is at least `level`.
bool can_log(int32_t level);

// The text after the last '/' that is not the first character; the whole
// string when there is none; "" for a null pointer.
const char* get_file_name(const char* full_file_name);

}  // namespace asrcore
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_DISPATCH_QUEUE_ASR_LOG_H
