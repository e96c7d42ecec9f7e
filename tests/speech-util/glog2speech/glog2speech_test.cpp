#include "speech-util/glog2speech/glog2speech.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "log_test_util.h"

namespace speech {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_util::read_file;
using testing_util::read_lines;
using testing_util::TempDir;
namespace fs = std::filesystem;

// A parsed log line: level, thread id, file, line and message.
struct Line {
    std::string level, tid, file, line, text;
};

// True when `s` has the shape of `pattern`, where '9' stands for any digit.
bool shaped(const std::string& s, const char* pattern) {
    std::size_t n = std::strlen(pattern);
    if (s.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        bool ok =
            pattern[i] == '9' ? std::isdigit(static_cast<unsigned char>(s[i])) != 0 : s[i] == pattern[i];
        if (!ok) return false;
    }
    return true;
}

bool all_digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Splits a line of the layout
// "LEVEL yyyy-mm-dd hh:mm:ss.uuuuuu ttttt file:line] message"; false when the
// line does not have it. The thread id is right-aligned in at least five places.
bool parse(const std::string& line, Line& out) {
    static const std::set<std::string> levels = {"DEBUG",   "NOTICE", "TRACE", "INFO",
                                                 "WARNING", "ERROR",  "FATAL"};
    std::size_t sp = line.find(' ');
    if (sp == std::string::npos || !levels.count(line.substr(0, sp))) return false;
    std::size_t pos = sp + 1;
    if (!shaped(line.substr(pos, 27), "9999-99-99 99:99:99.999999 ")) return false;
    pos += 27;
    std::size_t digits = line.find_first_not_of(' ', pos);
    std::size_t tid_end = line.find(' ', digits);
    if (digits == std::string::npos || tid_end == std::string::npos) return false;
    std::string tid = line.substr(digits, tid_end - digits);
    std::size_t width = tid_end - pos;
    if (!all_digits(tid) || width < 5 || (width > 5 && digits != pos)) return false;
    std::size_t close = line.find("] ", tid_end);
    std::size_t colon = line.rfind(':', close);
    if (close == std::string::npos || colon == std::string::npos || colon <= tid_end + 1) return false;
    out.level = line.substr(0, sp);
    out.tid = tid;
    out.file = line.substr(tid_end + 1, colon - tid_end - 1);
    out.line = line.substr(colon + 1, close - colon - 1);
    out.text = line.substr(close + 2);
    return all_digits(out.line) && out.file.find(' ') == std::string::npos;
}

std::string hour_stamp() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y%m%d%H", &t);
    return buf;
}

// Every test configures logging into its own folder and turns it off again.
class LoggingBridgeTest : public ::testing::Test {
  protected:
    void TearDown() override { glog2speech_shutdown(); }

    void init(int level, int delay = 0) {
        ASSERT_EQ(glog2speech_init(level, "asr.log", dir.path().c_str(), "asr.log", delay), 0);
    }
    // The lines of the current file, read through the link, header dropped.
    std::vector<std::string> lines(const char* level_name = "NOTICE") const {
        auto all = read_lines(dir.path() + "/asr.log." + level_name);
        if (all.size() >= 3) all.erase(all.begin(), all.begin() + 3);
        return all;
    }

    TempDir dir;
};

TEST_F(LoggingBridgeTest, WritesOneLineInTheFixedLayoutToTheHourlyFile) {
    std::string before = hour_stamp();
    init(GLOG_NOTICE);
    glog2speech_writelog(GLOG_NOTICE, "src/speech/VelaASRLinuxSDK.cpp", 42, "push_audio req:%s logid:%u", "a",
                         7u);
    std::string after = hour_stamp();

    std::string link = dir.path() + "/asr.log.NOTICE";
    ASSERT_TRUE(fs::is_symlink(link));
    std::string target = fs::read_symlink(link).string();
    EXPECT_TRUE(target == "asr.log." + before || target == "asr.log." + after) << target;
    auto all = read_lines(link);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_THAT(all[0], ::testing::StartsWith("Log file created at: "));
    Line l;
    ASSERT_TRUE(parse(all[3], l)) << all[3];
    EXPECT_EQ(l.level, "NOTICE");
    EXPECT_EQ(std::stol(l.tid), static_cast<long>(::syscall(SYS_gettid)));
    EXPECT_EQ(l.file, "VelaASRLinuxSDK.cpp");
    EXPECT_EQ(l.line, "42");
    EXPECT_EQ(l.text, "push_audio req:a logid:7");
}

TEST_F(LoggingBridgeTest, FiltersBelowTheMinimumAndClampsOutOfRangeLevels) {
    init(GLOG_NOTICE);
    for (int level = -3; level <= 9; ++level)
        glog2speech_writelog(level, "f.cpp", level + 100, "level %d", level);
    std::vector<std::string> got;
    for (const auto& line : lines()) {
        Line l;
        ASSERT_TRUE(parse(line, l)) << line;
        got.push_back(l.level + " " + l.text);
    }
    EXPECT_THAT(got, ::testing::ElementsAre("NOTICE level 1", "TRACE level 2", "INFO level 3",
                                            "WARNING level 4", "ERROR level 5", "FATAL level 6",
                                            "ERROR level 7", "ERROR level 8", "ERROR level 9"));

    // Below zero counts as DEBUG, and so does the minimum itself.
    glog2speech_shutdown();
    ASSERT_EQ(glog2speech_init(-5, "asr.log", dir.path().c_str(), "dbg.log", 0), 0);
    glog2speech_writelog(-3, "f.cpp", 1, "deep");
    auto debug = read_lines(dir.path() + "/asr.log.DEBUG");
    ASSERT_EQ(debug.size(), 4u);
    EXPECT_THAT(debug[3], ::testing::StartsWith("DEBUG "));
    EXPECT_THAT(debug[3], ::testing::EndsWith("] deep"));
}

TEST_F(LoggingBridgeTest, LongMessagesAreKeptUpToTheLineLimit) {
    init(GLOG_DEBUG);
    std::string text(20000, 'x');
    glog2speech_writelog(GLOG_INFO, "f.cpp", 1, "%s", text.c_str());
    std::string huge(600000, 'y');
    glog2speech_writelog(GLOG_INFO, "f.cpp", 2, "%s", huge.c_str());
    auto got = lines("DEBUG");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_THAT(got[0], ::testing::EndsWith("] " + text));
    // The library cuts a line at about 30,000 bytes; the rest of the line is intact.
    Line l;
    ASSERT_TRUE(parse(got[1], l));
    EXPECT_GT(l.text.size(), 29000u);
    EXPECT_LE(l.text.size(), 30000u);
    EXPECT_EQ(l.text.find_first_not_of('y'), std::string::npos);
}

TEST_F(LoggingBridgeTest, FatalAlsoGoesToStandardErrorAndDoesNotAbort) {
    init(GLOG_NOTICE);
    ::testing::internal::CaptureStderr();
    glog2speech_writelog(GLOG_ERROR, "f.cpp", 1, "only in the file");
    glog2speech_writelog(GLOG_FATAL, "f.cpp", 2, "also on stderr");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, Not(HasSubstr("only in the file")));
    EXPECT_THAT(err, HasSubstr("f.cpp:2] also on stderr\n"));
    EXPECT_THAT(lines().back(), ::testing::EndsWith("f.cpp:2] also on stderr"));
}

TEST_F(LoggingBridgeTest, MissingArgumentsAreRejected) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(glog2speech_init(1, "asr.log", nullptr, "asr.log", 0), -1);
    EXPECT_EQ(glog2speech_init(1, nullptr, dir.path().c_str(), "asr.log", 0), -1);
    EXPECT_EQ(glog2speech_init(1, "asr.log", dir.path().c_str(), nullptr, 0), -1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("glog2speech_init failed param illegal argv0:"));
    EXPECT_THAT(err, HasSubstr(" dir:0 file:"));
    // Nothing was configured.
    glog2speech_writelog(GLOG_FATAL, "f.cpp", 1, "dropped");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(LoggingBridgeTest, WritesNothingBeforeInitialisation) {
    // A child process of its own, so that no earlier test has configured logging.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            glog2speech_writelog(GLOG_FATAL, "f.cpp", 1, "too early");
            init(GLOG_DEBUG);
            glog2speech_writelog(GLOG_NOTICE, "f.cpp", 2, "in time");
            glog2speech_shutdown();
            std::string text = read_file(dir.path() + "/asr.log." + hour_stamp());
            bool ok =
                text.find("too early") == std::string::npos && text.find("in time") != std::string::npos;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST_F(LoggingBridgeTest, ReinitialisationMovesTheDestinationAndRunsShareTheHourlyFile) {
    TempDir other;
    init(GLOG_NOTICE);
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 1, "first");
    ASSERT_EQ(glog2speech_init(GLOG_NOTICE, "asr.log", other.path().c_str(), "asr.log", 0), 0);
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 2, "elsewhere");
    init(GLOG_NOTICE);
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 3, "again");
    glog2speech_shutdown();
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 4, "after shutdown");

    auto here = lines();
    ASSERT_EQ(here.size(), 2u);  // one header at the top, both runs appended
    EXPECT_THAT(here[0], ::testing::EndsWith("] first"));
    EXPECT_THAT(here[1], ::testing::EndsWith("] again"));
    EXPECT_THAT(read_file(other.path() + "/asr.log.NOTICE"), HasSubstr("] elsewhere\n"));
}

TEST_F(LoggingBridgeTest, ADelayHoldsLinesBackUntilAnErrorOrShutdown) {
    init(GLOG_NOTICE, 3600);
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 1, "one");
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 2, "two");
    EXPECT_THAT(lines().back(), ::testing::EndsWith("] one"));
    glog2speech_writelog(GLOG_ERROR, "f.cpp", 3, "three");
    EXPECT_THAT(lines().back(), ::testing::EndsWith("] three"));
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 4, "four");
    std::string path = dir.path() + "/asr.log.NOTICE";
    std::string file = fs::canonical(path).string();
    glog2speech_shutdown();
    EXPECT_THAT(read_lines(file).back(), ::testing::EndsWith("] four"));
}

TEST_F(LoggingBridgeTest, ConcurrentWritersNeverTearLines) {
    init(GLOG_NOTICE);
    constexpr int kLines = 500;
    auto writer = [](char mark) {
        std::string payload(3000, mark);
        for (int i = 0; i < kLines; ++i) glog2speech_writelog(GLOG_NOTICE, "t.cpp", i, "%s", payload.c_str());
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();

    int counts[2] = {0, 0};
    for (const auto& line : lines()) {
        Line l;
        ASSERT_TRUE(parse(line, l)) << line.substr(0, 120);
        const std::string& text = l.text;
        ASSERT_EQ(text.size(), 3000u);
        ASSERT_EQ(text.find_first_not_of(text[0]), std::string::npos);
        ++counts[text[0] - 'a'];
    }
    EXPECT_EQ(counts[0], kLines);
    EXPECT_EQ(counts[1], kLines);
}

}  // namespace
}  // namespace speech
