#include "speech-util/glog2speech/log_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "log_test_util.h"

namespace speech {
namespace {

using testing_util::read_lines;
using testing_util::TempDir;
namespace fs = std::filesystem;

std::tm at_hour(int hour, int min = 3) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = 5;
    return t;
}

class LogFileTest : public ::testing::Test {
  protected:
    LogFile::Options options(std::uint64_t max_bytes = 1 << 20) const {
        LogFile::Options o;
        o.base = dir.path() + "/asr.log.";
        o.link_name = "asr.log.NOTICE";
        o.max_bytes = max_bytes;
        return o;
    }
    std::string file(const std::string& suffix) const { return dir.path() + "/asr.log." + suffix; }
    std::string link_target() const { return fs::read_symlink(dir.path() + "/asr.log.NOTICE").string(); }

    TempDir dir;
};

TEST_F(LogFileTest, NewFileHasHeaderThenLinesAndALinkAndLaterRunsAppend) {
    {
        LogFile log(options());
        log.append(at_hour(14), 100, "P1 ", "first", false);
        log.append(at_hour(14, 59), 101, "P2 ", "second", false);
        EXPECT_EQ(log.path(), file("2026120714"));
    }
    auto lines = read_lines(file("2026120714"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Log file created at: 2026/12/07 14:03:05");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(lines[1], std::string("Running on machine: ") + host);
    EXPECT_EQ(lines[2], "Log line format: [IWEF]mmdd hh:mm:ss.uuuuuu threadid file:line] msg");
    EXPECT_EQ(lines[3], "P1 first");
    EXPECT_EQ(lines[4], "P2 second");
    EXPECT_EQ(link_target(), "asr.log.2026120714");
    EXPECT_EQ(fs::status(file("2026120714")).permissions() & fs::perms::others_write, fs::perms::none);

    // A later run within the hour appends, without a second header.
    { LogFile(options()).append(at_hour(14, 30), 102, "", "run two", false); }
    EXPECT_EQ(read_lines(file("2026120714")).size(), 6u);
    EXPECT_EQ(read_lines(file("2026120714")).back(), "run two");
}

TEST_F(LogFileTest, ANewHourBeginsANewFileAndMovesTheLink) {
    LogFile log(options());
    log.append(at_hour(14, 59), 1, "", "late", false);
    log.append(at_hour(15, 0), 2, "", "early", false);
    EXPECT_EQ(read_lines(file("2026120714")).back(), "late");
    EXPECT_EQ(read_lines(file("2026120715")).back(), "early");
    EXPECT_EQ(read_lines(file("2026120715")).size(), 4u);
    EXPECT_EQ(link_target(), "asr.log.2026120715");
}

TEST_F(LogFileTest, AFullFileContinuesInANumberedFileOfTheSameHour) {
    const std::string line(99, 'x');  // 100 bytes with its line feed
    {
        LogFile log(options(1000));
        for (int i = 0; i < 25; ++i) log.append(at_hour(14), 1, "", line, false);
    }
    // Header (about 150 bytes) plus lines until 1000 bytes are reached, then the next file.
    std::uint64_t total_lines = 0;
    for (const char* name : {"2026120714", "2026120714.1", "2026120714.2"}) {
        ASSERT_TRUE(fs::exists(file(name))) << name;
        EXPECT_LT(fs::file_size(file(name)), 1000u + 100u);
        auto lines = read_lines(file(name));
        EXPECT_EQ(lines[0].rfind("Log file created at: ", 0), 0u);
        total_lines += lines.size() - 3;
    }
    EXPECT_EQ(total_lines, 25u);
    EXPECT_FALSE(fs::exists(file("2026120714.3")));
    EXPECT_EQ(link_target(), "asr.log.2026120714.2");

    // A later run skips the full files of the hour.
    { LogFile(options(1000)).append(at_hour(14), 2, "", "later", false); }
    EXPECT_EQ(read_lines(file("2026120714.2")).back(), "later");
    EXPECT_NE(read_lines(file("2026120714.1")).back(), "later");
}

TEST_F(LogFileTest, UncreatableFileIsReportedAndTheLinesAreLost) {
    LogFile::Options o = options();
    o.base = dir.path() + "/missing/asr.log.";
    LogFile log(o);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) log.append(at_hour(14), 1, "", "lost", false);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("Could not create log file: "), 0u);
    EXPECT_THAT(err, ::testing::EndsWith("COULD NOT CREATE LOGFILE '" + dir.path() +
                                         "/missing/asr.log.2026120714'!\n"));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2);  // one report, not one per line
    EXPECT_TRUE(log.path().empty());
}

TEST_F(LogFileTest, FullDiskStopsLogging) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    fs::create_symlink("/dev/full", file("2026120714"));
    LogFile log(options());
    log.append(at_hour(14), 1, "", "nowhere", false);
    EXPECT_TRUE(log.stopped());
    log.append(at_hour(15), 2, "", "still nowhere", false);
    EXPECT_FALSE(fs::exists(file("2026120715")));
}

}  // namespace
}  // namespace speech
