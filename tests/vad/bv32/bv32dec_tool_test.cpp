// The bv32dec program: its three input formats, concealment and errors.
#include <gtest/gtest.h>

#include <string>

#include "tests/vad/bv32/tool_run.h"

namespace {

using namespace bv32test;

ToolResult run(const std::string& args) { return run_tool("bv32dec", args); }

TEST(Bv32DecTool, DecodesEachInputFormat) {
    // bv32enc --stream makes the upload streams: format byte 4 by default, 0 on request.
    const std::string pcm = data_path("speech_en_us.pcm");
    const struct {
        std::string option, file;
        int format_byte;
    } streams[] = {{"", "s4.stream", 4}, {"--format 0 ", "s0.stream", 0}};
    for (const auto& s : streams) {
        ASSERT_EQ(run_tool("bv32enc", "--stream " + s.option + pcm + " " + temp(s.file)).status, 0);
        const std::vector<uint8_t> bytes = read_bytes(temp(s.file));
        ASSERT_GE(bytes.size(), 4u);
        EXPECT_EQ(bytes[0], s.format_byte);
    }
    const struct {
        std::string args;
        std::string input;
        std::string reference;
    } cases[] = {
        {"", data_path("speech_en_us.bv32"), "speech_en_us"},
        {"-g", data_path("chirp_50_7900_3s.g192"), "chirp_50_7900_3s"},
        {"--stream", temp("s4.stream"), "speech_en_us"},
        {"--stream", temp("s0.stream"), "speech_en_us"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args + " " + c.input);
        const std::string out = temp("decoded.pcm");
        const ToolResult r = run(c.args + " " + c.input + " " + out);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_bytes(out), read_bytes(data_path(c.reference + ".dec.pcm")));
    }
}

TEST(Bv32DecTool, ConcealsBadG192Frames) {
    std::vector<uint8_t> g192 = read_bytes(data_path("speech_en_us.g192"));
    ASSERT_GT(g192.size(), 324u * 101);
    g192[324 * 40] = 0x20;  // sync word 0x6B20: a lost frame
    g192[324 * 100] = 0;
    write_bytes(temp("lossy.g192"), g192);
    const ToolResult r = run("-g " + temp("lossy.g192") + " " + temp("lossy.pcm"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("2 of 713 frames were marked bad"), std::string::npos) << r.err;
    EXPECT_EQ(read_bytes(temp("lossy.pcm")).size(), 713u * 160);
}

TEST(Bv32DecTool, HelpAndErrors) {
    const ToolResult help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: bv32dec [-g] [--stream] input output.pcm"), std::string::npos);
    EXPECT_NE(run_tool("bv32enc", "--help").out.find("--stream"), std::string::npos);

    // Inputs cut inside a frame: the whole frames are written, then an error.
    const std::vector<uint8_t> packed = read_bytes(data_path("speech_en_us.bv32"));
    const std::vector<uint8_t> g192 = read_bytes(data_path("speech_en_us.g192"));
    ASSERT_TRUE(packed.size() >= 1010 && g192.size() >= 324 * 3 + 7);
    write_bytes(temp("cut.bv32"), {packed.begin(), packed.begin() + 1010});
    write_bytes(temp("cut.g192"), {g192.begin(), g192.begin() + 324 * 3 + 7});
    write_bytes(temp("short.stream"), {4, 0});
    std::vector<uint8_t> wrong_header = {5, 0, 0, 0};
    wrong_header.insert(wrong_header.end(), packed.begin(), packed.begin() + 40);
    write_bytes(temp("wrong.stream"), wrong_header);

    const struct {
        std::string args;
        std::string message;
        size_t written;
    } cases[] = {
        {temp("cut.bv32"), "partial frame (10 of 20 bytes); the 50 whole frames", 50 * 160},
        {"-g " + temp("cut.g192"), "partial frame (7 of 324 bytes); the 3 whole frames", 3 * 160},
        {"--stream " + temp("short.stream"), "too short for the 4-byte stream header", 0},
        {"--stream " + temp("wrong.stream"), "not a BV32 stream header: format byte 5", 0},
        {temp("no-such-input.bv32"), "cannot open", 0},
        {"-g --stream " + temp("cut.bv32"), "exclude each other", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const std::string out = temp("error.pcm");
        std::remove(out.c_str());
        const ToolResult r = run(c.args + " " + out);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(read_bytes(out).size(), c.written);
    }
}

}  // namespace
