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

// Formats one message and writes it with the caller's source unit and line as
// one line "LEVEL yyyy-mm-dd hh:mm:ss.uuuuuu tid file:line] message".
// Severities below 0 count as DEBUG, from 7 up as ERROR. Does nothing until
// glog2speech_init() has succeeded, or when the severity is below the
// configured minimum. FATAL lines also go to standard error; nothing aborts.
// Safe to call from any thread.
void glog2speech_writelog(int severity, const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Writes out lines still held back by a flush delay, closes the log file and
// turns logging off until the next glog2speech_init().
void glog2speech_shutdown();

}  // namespace speech

// Configures logging: lines of `severity` (clamped as above) and higher go to
// hourly files <dir>/<file>.<yyyymmddhh> (appended to; a new file begins with
// each hour and after 100 MB), with a symbolic link <basename of argv0>.<LEVEL>
// beside them. `delay` is the number of seconds lines may be held back before
// they are written (0: at once). Returns 0, or -1 when a string is null.
// A later call replaces the destination and level of an earlier one.
int glog2speech_init(int severity, const char* argv0, const char* dir, const char* file, int delay);

#endif  // SPEECH_UTIL_GLOG2SPEECH_GLOG2SPEECH_H
