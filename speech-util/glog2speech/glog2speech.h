// Bridge from printf-style log calls with seven severities to log files.
#ifndef SPEECH_UTIL_GLOG2SPEECH_GLOG2SPEECH_H
#define SPEECH_UTIL_GLOG2SPEECH_GLOG2SPEECH_H

namespace speech {

// Severity scale shared by every caller. Kept in this namespace so that it
// never collides with the four-level constants of the logging library.
enum : int {
    GLOG_DEBUG = 0,
    GLOG_NOTICE = 1,
    GLOG_TRACE = 2,
    GLOG_INFO = 3,
    GLOG_WARNING = 4,
    GLOG_ERROR = 5,
    GLOG_FATAL = 6,
    NUM_SEVERITIES = 7,
};

// Formats one message and writes it with the caller's source unit and line.
// Does nothing until glog2speech_init() has succeeded.
void glog2speech_writelog(int severity, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace speech

// Configures logging once per process. Returns 0, or -1 when a string is null.
int glog2speech_init(int severity, const char* argv0, const char* dir, const char* file, int delay);

#endif  // SPEECH_UTIL_GLOG2SPEECH_GLOG2SPEECH_H
