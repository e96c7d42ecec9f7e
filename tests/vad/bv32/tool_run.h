// Runs one of the codec tools from the build's bin folder with its output captured.
#ifndef TESTS_VAD_BV32_TOOL_RUN_H
#define TESTS_VAD_BV32_TOOL_RUN_H

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/temp_dir.h"
#include "tests/vad/bv32/bv32_test_data.h"

namespace bv32test {

struct ToolResult {
    int status;
    std::string err;
    std::string out;
};

inline ToolResult run_tool(const std::string& tool, const std::string& args) {
    const std::string dir = vela_test::processTempDir();
    const std::string out = dir + tool + "_stdout.txt", err = dir + tool + "_stderr.txt";
    const std::string cmd = std::string(VELA_BIN_DIR) + "/" + tool + " " + args + " >" + out + " 2>" + err;
    const int rc = std::system(cmd.c_str());
    const std::vector<uint8_t> o = read_bytes(out), e = read_bytes(err);
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, std::string(e.begin(), e.end()),
            std::string(o.begin(), o.end())};
}

inline std::string temp(const std::string& name) { return vela_test::processTempDir() + name; }

inline void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace bv32test

#endif  // TESTS_VAD_BV32_TOOL_RUN_H
