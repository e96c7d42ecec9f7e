#include "speech-util/glog2speech/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

namespace speech {

namespace {

// Pending lines are written once they reach this many bytes, whatever the delay.
constexpr std::size_t kMaxPending = 64 * 1024;
// After a file could not be created, only every this-many-th line tries again.
constexpr unsigned kOpenRetryEvery = 32;
// Upper bound on ".1", ".2", ... files tried within one hour.
constexpr unsigned kMaxSequence = 10000;

long hour_key_of(const std::tm& t) {
    return ((static_cast<long>(t.tm_year + 1900) * 100 + t.tm_mon + 1) * 100 + t.tm_mday) * 100 + t.tm_hour;
}

std::string file_name(const std::string& base, long hour_key, unsigned sequence) {
    std::string name = base + std::to_string(hour_key);
    if (sequence > 0) name += "." + std::to_string(sequence);
    return name;
}

}  // namespace

LogFile::LogFile(Options options) : options_(std::move(options)) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    host_ = host;
    if (options_.max_bytes == 0) options_.max_bytes = 1;
}

LogFile::~LogFile() {
    flush();
    close_file();
}

void LogFile::append(const std::tm& local, std::time_t now, std::string_view prefix, std::string_view text,
                     bool flush_now) {
    if (stopped_) return;
    long key = hour_key_of(local);
    if (fd_ < 0 || key != hour_key_ || size_ >= options_.max_bytes) {
        if (fd_ < 0 && open_failures_ > 0 && open_failures_++ % kOpenRetryEvery != 0) return;
        // Same hour: the file is full, continue in the next one of this hour.
        unsigned sequence = (fd_ >= 0 && key == hour_key_) ? sequence_ + 1 : 0;
        flush();
        close_file();
        if (!roll_to(key, sequence, local)) return;
        open_failures_ = 0;
    }
    pending_.append(prefix).append(text).push_back('\n');
    size_ += prefix.size() + text.size() + 1;
    if (flush_now || options_.flush_delay_s <= 0 || pending_.size() >= kMaxPending ||
        now - last_flush_ >= options_.flush_delay_s) {
        flush();
        last_flush_ = now;
    }
}

void LogFile::flush() {
    if (fd_ >= 0 && !pending_.empty()) write_all(pending_.data(), pending_.size());
    pending_.clear();
}

bool LogFile::roll_to(long hour_key, unsigned sequence, const std::tm& local) {
    for (unsigned s = sequence; s < kMaxSequence; ++s) {
        std::string name = file_name(options_.base, hour_key, s);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
        if (fd < 0) {
            std::string why = std::error_code(errno, std::generic_category()).message();
            std::fprintf(stderr, "Could not create log file: %s\n", why.c_str());
            std::fprintf(stderr, "COULD NOT CREATE LOGFILE '%s'!\n", name.c_str());
            open_failures_ = 1;
            return false;
        }
        struct stat st {};
        std::uint64_t existing = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        if (existing >= options_.max_bytes) {
            ::close(fd);
            continue;
        }
        fd_ = fd;
        path_ = std::move(name);
        hour_key_ = hour_key;
        sequence_ = s;
        size_ = existing;
        if (existing == 0) write_header(local);
        update_link();
        return true;
    }
    std::fprintf(stderr, "COULD NOT CREATE LOGFILE '%s'!\n",
                 file_name(options_.base, hour_key, kMaxSequence).c_str());
    open_failures_ = 1;
    return false;
}

void LogFile::write_header(const std::tm& local) {
    char head[512];
    int n = std::snprintf(head, sizeof head,
                          "Log file created at: %04d/%02d/%02d %02d:%02d:%02d\n"
                          "Running on machine: %s\n"
                          "Log line format: [IWEF]mmdd hh:mm:ss.uuuuuu threadid file:line] msg\n",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          local.tm_sec, host_.c_str());
    if (n < 0) return;
    std::size_t len =
        static_cast<std::size_t>(n) < sizeof head ? static_cast<std::size_t>(n) : sizeof head - 1;
    write_all(head, len);
    size_ += len;
}

void LogFile::update_link() {
    if (options_.link_name.empty()) return;
    std::string::size_type slash = path_.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
    std::string target = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    std::string link = dir + options_.link_name;
    ::unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        // A missing link costs nothing but convenience; the log itself is intact.
    }
}

void LogFile::write_all(const char* data, std::size_t size) {
    while (size > 0 && fd_ >= 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSPC) stopped_ = true;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void LogFile::close_file() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_.clear();
}

}  // namespace speech
