// The vadscan tool, run as a program on a spoken file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string tool() { return std::string(VELA_BIN_DIR) + "/vadscan"; }

// Runs a command, returns its exit status and standard output.
int runCommand(const std::string& cmd, std::string& out) {
    out.clear();
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class VadScan : public ::testing::Test {
  protected:
    void SetUp() override {
        struct stat st;
        if (stat(tool().c_str(), &st) != 0) GTEST_SKIP() << "vadscan is not built";
    }
};

TEST_F(VadScan, PrintsOneLinePerChunkAndTheEndPoints) {
    const std::string input = std::string(VELA_TEST_DATA_DIR) + "/vad/speech_8k.pcm";
    const std::string outFile = ::testing::TempDir() + "vadscan_out.pcm";
    std::string text;
    ASSERT_EQ(runCommand(tool() + " --frames --out " + outFile + " " + input, text), 0);

    std::istringstream lines(text);
    std::string line;
    int index = 0;
    int lastDetect = -1;
    long handed = 0;
    while (std::getline(lines, line) && line.rfind("chunk ", 0) == 0) {
        int i = -1, d = -1, n = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "chunk %d detect %d out %d", &i, &d, &n), 3) << line;
        EXPECT_EQ(i, index++);
        lastDetect = d;
        handed += n;
    }
    EXPECT_EQ(lastDetect, 2);  // stops at the end of speech
    unsigned start = 0, end = 0, frames = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "start_frame %u end_frame %u frames %u", &start, &end, &frames), 3)
        << line;
    EXPECT_LT(start, end);
    EXPECT_LE(end, frames + 2);
    std::string decisions;
    ASSERT_TRUE(std::getline(lines, decisions));
    EXPECT_EQ(decisions.size(), frames);
    EXPECT_EQ(decisions.find_first_not_of("01"), std::string::npos);

    struct stat st;
    ASSERT_EQ(stat(outFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, handed);
    std::remove(outFile.c_str());
}

TEST_F(VadScan, RefusesBadArguments) {
    std::string text;
    EXPECT_NE(runCommand(tool() + " 2>/dev/null", text), 0);
    EXPECT_NE(runCommand(tool() + " --rate 11025 x.pcm 2>/dev/null", text), 0);
    EXPECT_NE(runCommand(tool() + " --chunk 3 x.pcm 2>/dev/null", text), 0);
    EXPECT_NE(runCommand(tool() + " --bogus x.pcm 2>/dev/null", text), 0);
    EXPECT_NE(runCommand(tool() + " /nonexistent/file.pcm 2>/dev/null", text), 0);
    EXPECT_EQ(runCommand(tool() + " --help", text), 0);
    EXPECT_NE(text.find("start_frame"), std::string::npos);
}

}  // namespace
