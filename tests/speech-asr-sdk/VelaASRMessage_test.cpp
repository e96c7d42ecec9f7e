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
    std::string out = "left over";
    r.get_asr_content(out);
    return out;
}

TEST(ResultContent, SerialisesStatusTextAndTruncatedOffsets) {
    EXPECT_EQ(
        content(VELA_ASR_FINISH, "", 12.9f, 40.2f),
        "{\"header\":{\"status\":107},\"payload\":{\"asr_content\":\"\",\"begintime\":12,\"endtime\":40}}\n");
    EXPECT_EQ(
        content(VELA_ASR_MIDDLE, "", -3.7f, -0.9f),
        "{\"header\":{\"status\":105},\"payload\":{\"asr_content\":\"\",\"begintime\":-3,\"endtime\":0}}\n");
    EXPECT_EQ(content(VELA_ASR_MIDDLE, "{\"text\":\"你好/世界\"}\n\t\x1f", 0, 1500.5f),
              "{\"header\":{\"status\":105},\"payload\":{\"asr_content\":"
              "\"{\\\"text\\\":\\\"你好/世界\\\"}\\n\\t\\u001F\",\"begintime\":0,\"endtime\":1500}}\n");
}

TEST(ResultContent, OffsetsOutsideTheIntegerRangeSaturate) {
    EXPECT_EQ(content(VELA_ASR_ERR, "", 3e9f, -3e9f),
              "{\"header\":{\"status\":108},\"payload\":{\"asr_content\":\"\","
              "\"begintime\":2147483647,\"endtime\":-2147483648}}\n");
    EXPECT_EQ(content(VELA_ASR_ERR, "", std::nanf(""), INFINITY),
              "{\"header\":{\"status\":108},\"payload\":{\"asr_content\":\"\","
              "\"begintime\":0,\"endtime\":2147483647}}\n");
}

TEST(ResultAccessors, KeepStatusAndTimeCost) {
    ASRResultM r;
    r.set_parameter(VELA_ASR_SPEAK_SHORT);
    r.set_tc(12.5f);
    EXPECT_EQ(r.get_status(), VELA_ASR_SPEAK_SHORT);
    EXPECT_EQ(r.get_tc(), 12.5f);
}

TEST(Message, ChunkIsAPrivateCopySharedByCopiesOfTheMessage) {
    VelaASRMessage msg;
    EXPECT_EQ(msg._size, 0u);
    EXPECT_FALSE(msg._buf);

    std::vector<char> pcm(3200);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<char>(i * 7);
    msg.set_parameter(VELA_DATA_CHUNK, pcm.data(), 3200);
    ASSERT_EQ(msg._size, 3200u);
    ASSERT_NE(msg._buf.get(), pcm.data());
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

TEST(Message, EmptyCountsOtherKeysAndIgnoredSettersLeaveTheExpectedChunk) {
    VelaASRMessage msg;
    char data[4] = {1, 2, 3, 4};
    msg.set_parameter(VELA_DATA_CHUNK, data, 4);
    msg.set_parameter(VELA_ASR_PARAM_KEY_SAMPLE_RATE, data, 2);
    msg.set_parameter(VELA_ASR_PARAM_KEY_APP, std::string("app"));
    msg.set_parameter(VELA_DATA_CHUNK, 16);
    msg.set_parameter(VELA_DATA_CHUNK, std::string("text"));
    EXPECT_EQ(msg._size, 4u);
    EXPECT_EQ(msg._buf[3], 4);

    msg.set_parameter(VELA_DATA_CHUNK, nullptr, 0);
    EXPECT_EQ(msg._size, 0u);
    EXPECT_FALSE(msg._buf);
    msg.set_parameter(VELA_DATA_CHUNK, data, -5);
    EXPECT_EQ(msg._size, 0u);
    msg.set_parameter(VELA_DATA_CHUNK, nullptr, 100);  // no bytes to copy: an empty chunk, not a crash
    EXPECT_EQ(msg._size, 0u);
    EXPECT_FALSE(msg._buf);
}

TEST(Vocabulary, FixedNumbering) {
    EXPECT_EQ(VELA_DATA_CHUNK, 5);
    EXPECT_EQ(VelaASRStatusCancel, 13);
    EXPECT_EQ(VELA_ASR_SLIENT, 100);
    EXPECT_EQ(VELA_ASR_ERR, 108);
    EXPECT_EQ(VELA_ASR_CMD_CANCEL, 4);
    EXPECT_EQ(ST_FINISH, 3);
    EXPECT_EQ(sizeof(Param_t), 4u);
    EXPECT_EQ(sizeof(Msg_t), 4u);
    EXPECT_EQ(sizeof(status_t), 4u);
}

}  // namespace
}  // namespace vela
