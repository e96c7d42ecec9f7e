// Pieces of one log line: severity names and clamping, the line prefix, and
// printf-style formatting with a stack buffer and a large fall-back buffer.
#ifndef SPEECH_UTIL_GLOG2SPEECH_LOG_LINE_H
#define SPEECH_UTIL_GLOG2SPEECH_LOG_LINE_H

#include <cstdarg>
#include <cstddef>
#include <ctime>
#include <memory>

namespace speech {

// Maps any integer onto the seven-level scale: below 0 becomes DEBUG, beyond
// the scale becomes ERROR (deliberately not FATAL).
int clamp_log_level(int severity);

// "DEBUG", "NOTICE", ... "FATAL" for a clamped level.
const char* log_level_name(int clamped_severity);

// Writes "LEVEL yyyy-mm-dd hh:mm:ss.uuuuuu ttttt file:line] " into `out`
// (NUL-terminated, cut to `cap` - 1 characters) and returns its length.
// `local` is the local calendar time, `usec` the microseconds within its second.
std::size_t format_log_prefix(char* out, std::size_t cap, int clamped_severity, const std::tm& local,
                              int usec, long thread_id, const char* base_file, int line);

// The text of one message. Formats into a 10,240-byte buffer held inside the
// object (on the caller's stack); a text that does not fit is formatted again
// into a 512,000-byte heap buffer. When that allocation fails the cut text of
// the first attempt is kept.
class MessageText {
  public:
    static constexpr std::size_t kSmallSize = 10240;
    static constexpr std::size_t kLargeSize = 512000;

    MessageText(const char* fmt, std::va_list args);
    MessageText(const MessageText&) = delete;
    MessageText& operator=(const MessageText&) = delete;

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    char small_[kSmallSize];
    std::unique_ptr<char[]> large_;
    const char* data_ = small_;
    std::size_t size_ = 0;
};

}  // namespace speech

#endif  // SPEECH_UTIL_GLOG2SPEECH_LOG_LINE_H
