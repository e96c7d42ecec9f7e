#include "speech-asr-sdk/json_text.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace vela {
namespace {

std::string escaped(const std::string& bytes) {
    std::string out;
    append_json_string(out, bytes.data(), bytes.size());
    return out;
}

Json::Value parse(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(Json::Reader().parse(text, v)) << text;
    return v;
}

TEST(JsonText, StringsKeepUtf8AndSolidusAndEscapeOnlyWhatMust) {
    EXPECT_EQ(escaped("识别结果：你好 café"), "\"识别结果：你好 café\"");
    EXPECT_EQ(escaped("a/b</c> \x7f\xff"), "\"a/b</c> \x7f\xff\"");
    EXPECT_EQ(escaped("say \"hi\" \\ back\\slash"), R"("say \"hi\" \\ back\\slash")");
    const char* control[32] = {"\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006",
                               "\\u0007", "\\b",     "\\t",     "\\n",     "\\u000B", "\\f",     "\\r",
                               "\\u000E", "\\u000F", "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014",
                               "\\u0015", "\\u0016", "\\u0017", "\\u0018", "\\u0019", "\\u001A", "\\u001B",
                               "\\u001C", "\\u001D", "\\u001E", "\\u001F"};
    std::string all;
    for (int c = 0; c < 32; ++c) {
        EXPECT_EQ(escaped(std::string(1, static_cast<char>(c))), "\"" + std::string(control[c]) + "\"") << c;
        all.push_back(static_cast<char>(c));
    }
    EXPECT_EQ(parse("[" + escaped(all + "\"\\/x") + "]")[0].asString(), all + "\"\\/x");
}

TEST(JsonText, ValuesAreCompactWithMembersInKeyOrder) {
    // What the fetch step does with a reply's "asr_content".
    Json::Value reply = parse(
        R"({"asr_content":{"words":["今天",{"b":null,"a":true}],"text":"今天\"天气\"\\好\n","begin":-120,
            "conf":0.875,"B":{},"e":[],"big":18446744073709551615,"low":-9223372036854775808}})");
    EXPECT_EQ(to_json_line(reply["asr_content"]),
              "{\"B\":{},\"begin\":-120,\"big\":18446744073709551615,\"conf\":0.875,\"e\":[],"
              "\"low\":-9223372036854775808,\"text\":\"今天\\\"天气\\\"\\\\好\\n\","
              "\"words\":[\"今天\",{\"a\":true,\"b\":null}]}\n");
    EXPECT_EQ(to_json_line(reply["missing"]), "null\n");
    Json::Value key(Json::objectValue);
    key["q\"\x01"] = std::string("a\0b", 3);
    EXPECT_EQ(to_json(key), R"({"q\"\u0001":"a\u0000b"})");
}

TEST(JsonText, DoublesReadBackToTheSameValue) {
    for (double d : {0.1, -0.5, 1.0 / 3.0, 12.9, 1e300, 5e-324, 1e21, -0.0,
                     std::numeric_limits<double>::max(), static_cast<double>(40.2f)}) {
        std::string text = to_json(Json::Value(d));
        double back = parse("[" + text + "]")[0].asDouble();
        EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0) << text;
    }
    EXPECT_EQ(to_json(Json::Value(2.0)), "2.0");  // still a real when read back
    EXPECT_EQ(to_json(Json::Value(0.1)), "0.1");
    EXPECT_EQ(to_json(Json::Value(std::nan(""))), "null");
}

}  // namespace
}  // namespace vela
