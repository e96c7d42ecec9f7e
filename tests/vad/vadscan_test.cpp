// The vadscan tool, run as a program on a spoken file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "support/files.h"
#include "support/temp_dir.h"

namespace {

const std::string kTool = std::string(VELA_BIN_DIR) + "/vadscan";

int runCommand(const std::string& cmd, std::string& out) {
    out.clear();
    FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
    const int status = p != nullptr ? pclose(p) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VadScan, PrintsOneLinePerChunkAndTheEndPointsAndRefusesBadArguments) {
    struct stat st;
    if (stat(kTool.c_str(), &st) != 0) GTEST_SKIP() << "vadscan is not built";
    const std::string outFile = vela_test::processTempDir() + "vadscan_out.pcm";
    std::string text;
    ASSERT_EQ(
        runCommand(kTool + " --frames --out " + outFile + " " + vela_test::testDataPath("vad/speech_8k.pcm"),
                   text),
        0);
    std::istringstream lines(text);
    std::string line;
    int index = 0, i = -1, d = -1, n = -1;
    long handed = 0;
    while (std::getline(lines, line) &&
           std::sscanf(line.c_str(), "chunk %d detect %d out %d", &i, &d, &n) == 3) {
        EXPECT_EQ(i, index++);
        handed += n;
    }
    EXPECT_EQ(d, 2);  // stops at the end of speech
    unsigned start = 0, end = 0, frames = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "start_frame %u end_frame %u frames %u", &start, &end, &frames), 3)
        << line;
    EXPECT_LT(start, end);
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.size(), frames);
    EXPECT_EQ(line.find_first_not_of("01"), std::string::npos);
    ASSERT_EQ(stat(outFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, handed);
    std::remove(outFile.c_str());

    for (const char* bad :
         {"", "--rate 11025 x.pcm", "--chunk 3 x.pcm", "--bogus x.pcm", "/nonexistent.pcm"}) {
        EXPECT_NE(runCommand(kTool + " " + bad, text), 0) << bad;
    }
    EXPECT_EQ(runCommand(kTool + " --help", text), 0);
    EXPECT_NE(text.find("start_frame"), std::string::npos);
}

}  // namespace
