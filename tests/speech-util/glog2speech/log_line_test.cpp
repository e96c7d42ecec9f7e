#include "speech-util/glog2speech/log_line.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "speech-util/glog2speech/glog2speech.h"

namespace speech {
namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    MessageText text(fmt, args);
    va_end(args);
    return std::string(text.data(), text.size());
}

TEST(LogLine, LevelsClampBelowToDebugAndAboveToErrorNotFatal) {
    EXPECT_EQ(clamp_log_level(-3), GLOG_DEBUG);
    EXPECT_EQ(clamp_log_level(6), GLOG_FATAL);
    EXPECT_EQ(clamp_log_level(7), GLOG_ERROR);
    EXPECT_EQ(clamp_log_level(9), GLOG_ERROR);
    EXPECT_STREQ(log_level_name(GLOG_TRACE), "TRACE");
}

TEST(LogLine, PrefixPadsEveryFieldAndRightAlignsTheThreadId) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 4;
    t.tm_min = 3;
    t.tm_sec = 5;
    char buf[128];
    std::size_t n = format_log_prefix(buf, sizeof buf, GLOG_NOTICE, t, 1234, 42, "file.cpp", 42);
    EXPECT_EQ(std::string(buf, n), "NOTICE 2026-12-07 04:03:05.001234    42 file.cpp:42] ");
    n = format_log_prefix(buf, sizeof buf, GLOG_WARNING, t, 999999, 1234567, "a.cpp", 7);
    EXPECT_EQ(std::string(buf, n), "WARNING 2026-12-07 04:03:05.999999 1234567 a.cpp:7] ");
}

TEST(LogLine, MessageFitsOrFallsBackToTheLargeBufferAndIsCutThere) {
    EXPECT_EQ(format("%s:%d", "abc", -7), "abc:-7");
    std::string limit(MessageText::kSmallSize - 1, 'a');
    EXPECT_EQ(format("%s", limit.c_str()), limit);
    std::string over(20000, 'c');
    EXPECT_EQ(format("%s!", over.c_str()), over + "!");
    std::string huge(600000, 'd');
    EXPECT_EQ(format("%s", huge.c_str()), huge.substr(0, 511999));
}

}  // namespace
}  // namespace speech
