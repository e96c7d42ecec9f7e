// Hourly log files: one file per local hour, named <base><yyyymmddhh>, opened
// for appending so that several runs within one hour share it, with header
// lines at the top of a new file and a symbolic link beside it that names the
// current file.
#ifndef SPEECH_UTIL_GLOG2SPEECH_LOG_FILE_H
#define SPEECH_UTIL_GLOG2SPEECH_LOG_FILE_H

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace speech {

// Not thread-safe: the owner serialises every call.
class LogFile {
  public:
    struct Options {
        std::string base;       // path prefix, e.g. "logs/asr.log."
        std::string link_name;  // name of the link kept in the file's folder; empty = no link
        std::uint64_t max_bytes = std::uint64_t{100} << 20;
        int flush_delay_s = 0;  // 0: every line reaches the file at once
    };

    explicit LogFile(Options options);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Appends prefix + text + "\n" as one line. `local` (the line's local time)
    // selects the hourly file; `now` (seconds since the epoch) drives the flush
    // delay. `flush_now` writes the line and everything pending at once.
    void append(const std::tm& local, std::time_t now, std::string_view prefix, std::string_view text,
                bool flush_now);

    // Writes whatever is pending.
    void flush();

    // Path of the file lines currently go to; empty while none is open.
    const std::string& path() const { return path_; }

    // True once a write failed because the disk is full; nothing is written after that.
    bool stopped() const { return stopped_; }

  private:
    bool roll_to(long hour_key, unsigned sequence, const std::tm& local);
    void write_header(const std::tm& local);
    void update_link();
    void write_all(const char* data, std::size_t size);
    void close_file();

    Options options_;
    std::string host_;
    std::string path_;
    std::string pending_;
    int fd_ = -1;
    long hour_key_ = -1;  // yyyymmddhh of the open file
    unsigned sequence_ = 0;
    std::uint64_t size_ = 0;
    std::time_t last_flush_ = 0;
    unsigned open_failures_ = 0;
    bool stopped_ = false;
};

}  // namespace speech

#endif  // SPEECH_UTIL_GLOG2SPEECH_LOG_FILE_H
