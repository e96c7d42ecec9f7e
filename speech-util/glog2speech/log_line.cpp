#include "speech-util/glog2speech/log_line.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "speech-util/glog2speech/glog2speech.h"

namespace speech {

namespace {

constexpr const char* kLevelNames[NUM_SEVERITIES] = {"DEBUG",   "NOTICE", "TRACE", "INFO",
                                                     "WARNING", "ERROR",  "FATAL"};

// Length of the text vsnprintf left in `buf` after returning `n`: the whole text
// when it fitted, the cut text when it did not. A failed call leaves the content
// unspecified, so the text then ends at the first NUL (placed at the end at the
// latest).
std::size_t formatted_length(char* buf, std::size_t cap, int n) {
    if (n >= 0) return static_cast<std::size_t>(n) < cap ? static_cast<std::size_t>(n) : cap - 1;
    buf[cap - 1] = '\0';
    return std::strlen(buf);
}

}  // namespace

int clamp_log_level(int severity) {
    if (severity < GLOG_DEBUG) return GLOG_DEBUG;
    if (severity >= NUM_SEVERITIES) return GLOG_ERROR;
    return severity;
}

const char* log_level_name(int clamped_severity) { return kLevelNames[clamp_log_level(clamped_severity)]; }

std::size_t format_log_prefix(char* out, std::size_t cap, int clamped_severity, const std::tm& local,
                              int usec, long thread_id, const char* base_file, int line) {
    int n =
        std::snprintf(out, cap, "%s %04d-%02d-%02d %02d:%02d:%02d.%06d %5ld %s:%d] ",
                      log_level_name(clamped_severity), local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                      local.tm_hour, local.tm_min, local.tm_sec, usec, thread_id, base_file, line);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < cap ? static_cast<std::size_t>(n) : cap - 1;
}

MessageText::MessageText(const char* fmt, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    small_[0] = '\0';
    int n = std::vsnprintf(small_, kSmallSize, fmt, args);
    // Taken as unsigned, a failure (-1) counts as "did not fit" too.
    if (static_cast<unsigned>(n) <= kSmallSize - 1) {
        size_ = static_cast<std::size_t>(n);
    } else {
        large_.reset(new (std::nothrow) char[kLargeSize]);
        if (large_) {
            large_[0] = '\0';
            int m = std::vsnprintf(large_.get(), kLargeSize, fmt, again);
            size_ = formatted_length(large_.get(), kLargeSize, m);
            data_ = large_.get();
        } else {
            size_ = formatted_length(small_, kSmallSize, n);
        }
    }
    va_end(again);
}

}  // namespace speech
