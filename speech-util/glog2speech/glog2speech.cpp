// The bridge hands every message to glog as a LogMessage addressed to a sink
// that knows the message's seven-level severity. The sink writes the line in
// this system's layout into an hourly LogFile; glog's own files, its four-level
// filter and its abort on FATAL are never involved.
#include "speech-util/glog2speech/glog2speech.h"

#include <glog/logging.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "speech-util/glog2speech/log_file.h"
#include "speech-util/glog2speech/log_line.h"

namespace {

// Set by a successful glog2speech_init(); until then every call is dropped.
std::atomic<bool> g_glog2speech_is_init{false};
std::atomic<int> g_min_level{speech::GLOG_DEBUG};

struct Destination {
    std::mutex mutex;
    std::unique_ptr<speech::LogFile> file;  // guarded by mutex
};

// Never destroyed: threads that are still running while the process exits may log.
Destination& destination() {
    static Destination* d = new Destination;
    return *d;
}

// Serialises the one-time library set-up; never taken while glog holds its own lock.
std::mutex g_setup_mutex;

// Held while glog builds and flushes one message. glog stamps each message
// through mktime(), which with TZ unset frees and re-allocates the C library's
// time-zone name on every call under a lock that thread sanitizers cannot
// see; taking the messages one at a time here (glog writes them one at a time
// anyway) keeps that ordering visible.
std::mutex g_message_mutex;

// Not cached: a forked child must report its own id.
long current_thread_id() { return static_cast<long>(::syscall(SYS_gettid)); }

google::LogSeverity library_severity(int level) {
    if (level >= speech::GLOG_ERROR) return google::GLOG_ERROR;
    if (level == speech::GLOG_WARNING) return google::GLOG_WARNING;
    return google::GLOG_INFO;
}

bool stderr_in_colour() {
    if (!::isatty(STDERR_FILENO)) return false;
    const char* term = std::getenv("TERM");
    if (term == nullptr) return false;
    for (const char* known : {"xterm", "xterm-color", "xterm-256color", "screen-256color", "konsole",
                              "konsole-16color", "konsole-256color", "screen", "linux", "cygwin"}) {
        if (std::strcmp(term, known) == 0) return true;
    }
    return false;
}

void write_to_stderr(std::string_view prefix, std::string_view text) {
    bool colour = stderr_in_colour();
    ::flockfile(stderr);
    if (colour) std::fputs("\033[0;31m", stderr);
    std::fwrite(prefix.data(), 1, prefix.size(), stderr);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    if (colour) std::fputs("\033[m", stderr);
    std::fflush(stderr);
    ::funlockfile(stderr);
}

// Receives one message from glog, synchronously on the logging thread.
class LevelSink : public google::LogSink {
  public:
    explicit LevelSink(int level) : level_(level) {}

    using google::LogSink::send;
    void send(google::LogSeverity, const char*, const char* base_filename, int line,
              const google::LogMessageTime& time, const char* message, size_t message_len) override {
        char prefix[512];
        std::size_t n = speech::format_log_prefix(prefix, sizeof prefix, level_, time.tm(), time.usec(),
                                                  current_thread_id(), base_filename, line);
        std::string_view head(prefix, n);
        std::string_view text(message, message_len);
        Destination& d = destination();
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.file) return;
        d.file->append(time.tm(), time.timestamp(), head, text, level_ >= speech::GLOG_ERROR);
        if (level_ == speech::GLOG_FATAL) write_to_stderr(head, text);
    }

  private:
    int level_;
};

void flush_at_exit() {
    Destination& d = destination();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.file) d.file->flush();
}

std::string base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

namespace speech {

void glog2speech_writelog(int severity, const char* file, int line, const char* fmt, ...) {
    if (!g_glog2speech_is_init.load(std::memory_order_acquire) || fmt == nullptr) return;
    severity = clamp_log_level(severity);
    if (severity < g_min_level.load(std::memory_order_relaxed)) return;

    std::va_list args;
    va_start(args, fmt);
    MessageText text(fmt, args);
    va_end(args);

    LevelSink sink(severity);
    std::lock_guard<std::mutex> lock(g_message_mutex);
    google::LogMessage message(file ? file : "(unknown)", line, library_severity(severity), &sink,
                               /*also_send_to_log=*/false);
    message.stream().write(text.data(), static_cast<std::streamsize>(text.size()));
}

void glog2speech_shutdown() {
    g_glog2speech_is_init.store(false, std::memory_order_release);
    Destination& d = destination();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.file.reset();
}

}  // namespace speech

int glog2speech_init(int severity, const char* argv0, const char* dir, const char* file, int delay) {
    if (argv0 == nullptr || dir == nullptr || file == nullptr) {
        std::fprintf(stderr,
                     "glog2speech_init failed param illegal argv0:%" PRIxPTR " dir:%" PRIxPTR
                     " file:%" PRIxPTR "\n",
                     reinterpret_cast<std::uintptr_t>(argv0), reinterpret_cast<std::uintptr_t>(dir),
                     reinterpret_cast<std::uintptr_t>(file));
        return -1;
    }
    severity = speech::clamp_log_level(severity);

    char base[256];
    std::snprintf(base, sizeof base, "%s/%s.", dir, file);

    {
        std::lock_guard<std::mutex> lock(g_setup_mutex);
        // glog refuses a second initialisation (it aborts), and the application
        // may have initialised it already. glog keeps the pointer it is given.
        if (!google::IsGoogleLoggingInitialized()) {
            static const std::string* program = new std::string(argv0);
            google::InitGoogleLogging(program->c_str());
        }
        FLAGS_logbufsecs = delay;
        FLAGS_log_prefix = true;
        FLAGS_minloglevel = 0;  // the seven-level filter is applied here, before glog
        FLAGS_max_log_size = 100;
        FLAGS_stop_logging_if_full_disk = true;
        FLAGS_colorlogtostderr = true;
        FLAGS_stderrthreshold = 6;
        static const bool exit_hook = (std::atexit(flush_at_exit), true);
        (void)exit_hook;
    }

    speech::LogFile::Options options;
    options.base = base;
    options.link_name = base_name(argv0) + "." + speech::log_level_name(severity);
    options.flush_delay_s = delay;
    auto log_file = std::make_unique<speech::LogFile>(std::move(options));

    Destination& d = destination();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.file = std::move(log_file);
        g_min_level.store(severity, std::memory_order_relaxed);
    }
    g_glog2speech_is_init.store(true, std::memory_order_release);
    return 0;
}
