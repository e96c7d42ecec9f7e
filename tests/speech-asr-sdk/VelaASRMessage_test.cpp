#include "speech-asr-sdk/VelaASRMessage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace vela {
namespace {

std::string content(Param_t status, const std::string& text, float begin, float end) {
    ASRResultM r;
    r.set_parameter(status);
    r.set_asr_content(text);
    r.set_offset(begin, end);
    std::string out = "replaced";
    r.get_asr_content(out);
    return out;
}

std::string expected(int status, const std::string& escaped_text, const std::string& begin,
                     const std::string& end) {
    return "{\"header\":{\"status\":" + std::to_string(status) + "},\"payload\":{\"asr_content\":\"" +
           escaped_text + "\",\"begintime\":" + begin + ",\"endtime\":" + end + "}}\n";
}

TEST(ResultContent, SerialisesStatusEscapedTextAndOffsetsTruncatedTowardZero) {
    EXPECT_EQ(content(VELA_ASR_FINISH, "", 12.9f, 40.2f), expected(107, "", "12", "40"));
    EXPECT_EQ(content(VELA_ASR_MIDDLE, "", -3.7f, -0.9f), expected(105, "", "-3", "0"));
    EXPECT_EQ(content(VELA_ASR_MIDDLE, "{\"text\":\"你好/世界\"}\n\t\x1f", 0, 1500.5f),
              expected(105, "{\\\"text\\\":\\\"你好/世界\\\"}\\n\\t\\u001F", "0", "1500"));
    // Out of range or not a number: saturated or zero instead of undefined.
    EXPECT_EQ(content(VELA_ASR_ERR, "", 3e9f, -3e9f), expected(108, "", "2147483647", "-2147483648"));
    EXPECT_EQ(content(VELA_ASR_ERR, "", std::nanf(""), INFINITY), expected(108, "", "0", "2147483647"));
}

TEST(Message, ChunkIsAPrivateCopySharedByCopiesOfTheMessage) {
    VelaASRMessage msg;
    EXPECT_EQ(msg._size, 0u);
    std::vector<char> pcm(3200);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<char>(i * 7);
    msg.set_parameter(VELA_DATA_CHUNK, pcm.data(), 3200);
    ASSERT_EQ(msg._size, 3200u);
    pcm[0] = 99;
    EXPECT_EQ(msg._buf[0], 0);
    EXPECT_EQ(msg._buf[3199], static_cast<char>(3199 * 7));

    VelaASRMessage copy = msg;
    EXPECT_EQ(copy._buf.get(), msg._buf.get());
    msg.set_parameter(VELA_DATA_CHUNK, pcm.data(), 2);  // replaces; the copy keeps the old chunk
    EXPECT_EQ(msg._size, 2u);
    EXPECT_EQ(msg._buf[0], 99);
    EXPECT_EQ(copy._size, 3200u);
    EXPECT_EQ(copy._buf[0], 0);
}

TEST(Message, OnlyAPositiveCountOfTheChunkKeyStoresBytes) {
    VelaASRMessage msg;
    char data[4] = {1, 2, 3, 4};
    msg.set_parameter(VELA_DATA_CHUNK, data, 4);
    msg.set_parameter(VELA_ASR_PARAM_KEY_SAMPLE_RATE, data, 2);
    msg.set_parameter(VELA_DATA_CHUNK, 16);
    msg.set_parameter(VELA_DATA_CHUNK, std::string("text"));
    EXPECT_EQ(msg._size, 4u);

    msg.set_parameter(VELA_DATA_CHUNK, nullptr, 0);
    EXPECT_EQ(msg._size, 0u);
    EXPECT_FALSE(msg._buf);
    msg.set_parameter(VELA_DATA_CHUNK, data, -5);
    EXPECT_EQ(msg._size, 0u);
    msg.set_parameter(VELA_DATA_CHUNK, nullptr, 100);  // nothing to copy: empty, not a crash
    EXPECT_EQ(msg._size, 0u);
    EXPECT_FALSE(msg._buf);
}

}  // namespace
}  // namespace vela
