#include "speech-util/glog2speech/glog2speech.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "log_test_util.h"

namespace speech {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using testing_util::read_file;
using testing_util::read_lines;
using testing_util::TempDir;
namespace fs = std::filesystem;

std::string hour_stamp() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y%m%d%H", &t);
    return buf;
}

// "LEVEL message" of a log line (the prefix layout itself is checked in LogPrefix).
std::string level_and_text(const std::string& line) {
    std::size_t close = line.find("] ");
    return line.substr(0, line.find(' ')) + " " + (close == std::string::npos ? "?" : line.substr(close + 2));
}

// Every test configures logging into its own folder and turns it off again.
class LoggingBridgeTest : public ::testing::Test {
  protected:
    void TearDown() override { glog2speech_shutdown(); }
    void init(int level, int delay = 0) {
        ASSERT_EQ(glog2speech_init(level, "asr.log", dir.path().c_str(), "asr.log", delay), 0);
    }
    // Lines of the current file, read through the link, without the three header lines.
    std::vector<std::string> lines(const std::string& level_name = "NOTICE") const {
        auto all = read_lines(dir.path() + "/asr.log." + level_name);
        all.erase(all.begin(), all.begin() + std::min<std::size_t>(3, all.size()));
        return all;
    }
    std::vector<std::string> texts(const std::string& level_name = "NOTICE") const {
        std::vector<std::string> out;
        for (const auto& line : lines(level_name)) out.push_back(level_and_text(line));
        return out;
    }

    TempDir dir;
};

TEST_F(LoggingBridgeTest, WritesTheExactLineToTheHourlyFileNamedByTheLink) {
    std::string before = hour_stamp();
    init(GLOG_NOTICE);
    glog2speech_writelog(GLOG_NOTICE, "src/sdk/Session.cpp", 42, "push req:%s logid:%u", "a", 7u);
    std::string after = hour_stamp();

    std::string target = fs::read_symlink(dir.path() + "/asr.log.NOTICE").string();
    EXPECT_TRUE(target == "asr.log." + before || target == "asr.log." + after) << target;
    auto all = read_lines(dir.path() + "/" + target);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_THAT(all[0], ::testing::StartsWith("Log file created at: "));
    // "NOTICE yyyy-mm-dd hh:mm:ss.uuuuuu ttttt file:line] message", the hour matching the file name.
    const std::string& line = all[3];
    std::string h = target.substr(8, 10);
    EXPECT_EQ(line.substr(0, 21), "NOTICE " + h.substr(0, 4) + "-" + h.substr(4, 2) + "-" + h.substr(6, 2) +
                                      " " + h.substr(8, 2) + ":");
    EXPECT_EQ(line.find_first_not_of("0123456789:.", 21), 33u);
    char tid[16];
    std::snprintf(tid, sizeof tid, " %5ld", static_cast<long>(::syscall(SYS_gettid)));
    EXPECT_EQ(line.substr(33), std::string(tid) + " Session.cpp:42] push req:a logid:7");
}

TEST_F(LoggingBridgeTest, FiltersBelowTheMinimumAndClampsOutOfRangeLevels) {
    init(GLOG_NOTICE);
    ::testing::internal::CaptureStderr();  // the FATAL line also goes there
    for (int level = -3; level <= 9; ++level) glog2speech_writelog(level, "f.cpp", 1, "level %d", level);
    ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(texts(), ElementsAre("NOTICE level 1", "TRACE level 2", "INFO level 3", "WARNING level 4",
                                     "ERROR level 5", "FATAL level 6", "ERROR level 7", "ERROR level 8",
                                     "ERROR level 9"));

    ASSERT_EQ(glog2speech_init(-5, "asr.log", dir.path().c_str(), "debug.log", 0), 0);
    glog2speech_writelog(-3, "f.cpp", 1, "deep");
    EXPECT_THAT(texts("DEBUG"), ElementsAre("DEBUG deep"));
}

TEST_F(LoggingBridgeTest, LongMessagesAreKeptUpToTheLibraryLineLimit) {
    init(GLOG_DEBUG);
    std::string text(20000, 'x');
    glog2speech_writelog(GLOG_INFO, "f.cpp", 1, "%s", text.c_str());
    std::string huge(600000, 'y');
    glog2speech_writelog(GLOG_INFO, "f.cpp", 2, "%s", huge.c_str());
    auto got = lines("DEBUG");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(level_and_text(got[0]), "INFO " + text);
    std::string cut = level_and_text(got[1]).substr(5);  // glog cuts at about 30,000 bytes
    EXPECT_GT(cut.size(), 29000u);
    EXPECT_LE(cut.size(), 30000u);
    EXPECT_EQ(cut.find_first_not_of('y'), std::string::npos);
}

TEST_F(LoggingBridgeTest, FatalAlsoGoesToStandardErrorAndDoesNotAbort) {
    init(GLOG_NOTICE);
    ::testing::internal::CaptureStderr();
    glog2speech_writelog(GLOG_ERROR, "f.cpp", 1, "only in the file");
    glog2speech_writelog(GLOG_FATAL, "f.cpp", 2, "also on stderr");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, ::testing::Not(HasSubstr("only in the file")));
    EXPECT_THAT(err, HasSubstr(" f.cpp:2] also on stderr\n"));
    EXPECT_THAT(lines(), ElementsAre(EndsWith("] only in the file"), EndsWith("] also on stderr")));
}

TEST_F(LoggingBridgeTest, MissingArgumentsAreRejectedAndConfigureNothing) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(glog2speech_init(1, "asr.log", nullptr, "asr.log", 0), -1);
    EXPECT_EQ(glog2speech_init(1, nullptr, dir.path().c_str(), "asr.log", 0), -1);
    EXPECT_EQ(glog2speech_init(1, "asr.log", dir.path().c_str(), nullptr, 0), -1);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("glog2speech_init failed param illegal argv0:"));
    EXPECT_THAT(err, HasSubstr(" dir:0 file:"));
    glog2speech_writelog(GLOG_FATAL, "f.cpp", 1, "dropped");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(LoggingBridgeTest, WritesNothingBeforeInitialisation) {
    // Runs in a fresh child process, so that no earlier test has configured logging.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            glog2speech_writelog(GLOG_FATAL, "f.cpp", 1, "too early");
            init(GLOG_DEBUG);
            glog2speech_writelog(GLOG_NOTICE, "f.cpp", 2, "in time");
            glog2speech_shutdown();
            std::string text = read_file(dir.path() + "/asr.log." + hour_stamp());
            std::_Exit(
                text.find("too early") == std::string::npos && text.find("in time") != std::string::npos ? 0
                                                                                                         : 1);
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

    EXPECT_THAT(lines(), ElementsAre(EndsWith("] first"), EndsWith("] again")));  // one header only
    EXPECT_THAT(read_file(other.path() + "/asr.log.NOTICE"), HasSubstr("] elsewhere\n"));
}

TEST_F(LoggingBridgeTest, ADelayHoldsLinesBackUntilAnErrorOrShutdown) {
    init(GLOG_NOTICE, 3600);
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 1, "one");  // the first line goes out at once
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 2, "two");
    EXPECT_THAT(lines(), ElementsAre(EndsWith("] one")));
    glog2speech_writelog(GLOG_ERROR, "f.cpp", 3, "three");
    EXPECT_EQ(lines().size(), 3u);
    glog2speech_writelog(GLOG_NOTICE, "f.cpp", 4, "four");
    std::string file = fs::canonical(dir.path() + "/asr.log.NOTICE").string();
    glog2speech_shutdown();
    EXPECT_THAT(read_lines(file).back(), EndsWith("] four"));
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
        std::string text = level_and_text(line);
        ASSERT_EQ(text.size(), 7u + 3000u) << line.substr(0, 80);
        ASSERT_EQ(text.find_first_not_of(text[7], 7), std::string::npos) << line.substr(0, 80);
        ++counts[text[7] - 'a'];
    }
    EXPECT_EQ(counts[0], kLines);
    EXPECT_EQ(counts[1], kLines);
}

}  // namespace
}  // namespace speech
