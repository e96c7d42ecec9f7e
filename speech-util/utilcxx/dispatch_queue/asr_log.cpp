#include "speech-util/utilcxx/dispatch_queue/asr_log.h"

#include <atomic>
#include <cstring>

namespace speech {
namespace asrcore {

namespace {
std::atomic<int32_t> s_log_level(5);
}  // namespace

void set_log_level(int32_t level) { s_log_level.store(level, std::memory_order_relaxed); }

bool can_log(int32_t level) { return s_log_level.load(std::memory_order_relaxed) >= level; }

const char* get_file_name(const char* full_file_name) {
    if (full_file_name == nullptr) return "";
    if (full_file_name[0] == '\0') return full_file_name;
    const char* last_slash = std::strrchr(full_file_name + 1, '/');
    return last_slash == nullptr ? full_file_name : last_slash + 1;
}

}  // namespace asrcore
}  // namespace speech
