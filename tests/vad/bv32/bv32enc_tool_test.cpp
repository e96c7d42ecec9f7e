// The bv32enc program: formats, partial frames and errors.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/vad/bv32/tool_run.h"

namespace {

using namespace bv32test;

ToolResult run(const std::string& args) { return run_tool("bv32enc", args); }

TEST(Bv32EncTool, WritesPackedFramesAndG192Records) {
    const std::string out = temp("speech.bv32"), g192 = temp("speech.g192");
    ASSERT_EQ(run(data_path("speech_en_us.pcm") + " " + out).status, 0);
    EXPECT_EQ(read_bytes(out), read_bytes(data_path("speech_en_us.bv32")));
    ASSERT_EQ(run("-g " + data_path("speech_en_us.pcm") + " " + g192).status, 0);
    EXPECT_EQ(read_bytes(g192), read_bytes(data_path("speech_en_us.g192")));
}

TEST(Bv32EncTool, PadsATrailingPartialFrame) {
    // Two and a half frames of the chirp: the last frame is padded with zeros.
    const std::vector<uint8_t> pcm = read_bytes(data_path("chirp_50_7900_3s.pcm"));
    ASSERT_GE(pcm.size(), 400u);
    const std::string in = temp("partial.pcm"), out = temp("partial.bv32");
    std::vector<uint8_t> part(pcm.begin(), pcm.begin() + 400);
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(part.data()), part.size());
    const ToolResult r = run(in + " " + out);
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("40 of 80 samples"), std::string::npos) << r.err;

    part.resize(480, 0);
    const std::string padded = temp("padded.pcm"), padded_out = temp("padded.bv32");
    std::ofstream(padded, std::ios::binary).write(reinterpret_cast<const char*>(part.data()), part.size());
    ASSERT_EQ(run(padded + " " + padded_out).status, 0);
    const std::vector<uint8_t> got = read_bytes(out);
    EXPECT_EQ(got.size(), 60u);
    EXPECT_EQ(got, read_bytes(padded_out));
}

TEST(Bv32EncTool, HelpAndErrors) {
    const ToolResult help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: bv32enc [-g | --stream [--format 0|4]] input.pcm output"),
              std::string::npos);
    EXPECT_NE(help.out.find("G.192"), std::string::npos);

    const ToolResult missing = run(temp("no-such-input.pcm") + " " + temp("never.bv32"));
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos) << missing.err;

    EXPECT_NE(run("-x " + data_path("zeros_1s.pcm") + " " + temp("x.bv32")).status, 0);
    EXPECT_NE(run(data_path("zeros_1s.pcm")).status, 0);
    const ToolResult unwritable = run(data_path("zeros_1s.pcm") + " " + temp("no-such-dir/out.bv32"));
    EXPECT_NE(unwritable.status, 0);
    EXPECT_NE(unwritable.err.find("cannot create"), std::string::npos) << unwritable.err;
}

}  // namespace
