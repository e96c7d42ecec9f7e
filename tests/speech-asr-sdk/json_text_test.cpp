#include "speech-asr-sdk/json_text.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cmath>
#include <cstdint>
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
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, v)) << text;
    return v;
}

TEST(JsonString, KeepsUtf8AndSolidusAndEscapesOnlyWhatMustBe) {
    EXPECT_EQ(escaped("识别结果：你好，世界"), "\"识别结果：你好，世界\"");
    EXPECT_EQ(escaped("café ü €"), "\"café ü €\"");
    EXPECT_EQ(escaped("a/b</c>"), "\"a/b</c>\"");
    EXPECT_EQ(escaped("say \"hi\" \\ back\\slash"), R"("say \"hi\" \\ back\\slash")");
    EXPECT_EQ(escaped(std::string("\x7f\xff\x80", 3)), "\"\x7f\xff\x80\"");  // copied, even when not UTF-8
    EXPECT_EQ(escaped(""), "\"\"");
}

TEST(JsonString, EveryControlByteHasItsShortFormOrUpperCaseHex) {
    const char* expected[32] = {"\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006",
                                "\\u0007", "\\b",     "\\t",     "\\n",     "\\u000B", "\\f",     "\\r",
                                "\\u000E", "\\u000F", "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014",
                                "\\u0015", "\\u0016", "\\u0017", "\\u0018", "\\u0019", "\\u001A", "\\u001B",
                                "\\u001C", "\\u001D", "\\u001E", "\\u001F"};
    for (int c = 0; c < 32; ++c) {
        EXPECT_EQ(escaped(std::string(1, static_cast<char>(c))), "\"" + std::string(expected[c]) + "\"") << c;
    }
    // Every escape reads back to the original bytes.
    std::string all;
    for (int c = 0; c < 128; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ(parse("[" + escaped(all) + "]")[0].asString(), all);
}

TEST(JsonValue, CompactWithSortedKeysAndNestedValues) {
    Json::Value v = parse(R"({"z":[1,-2,{"b":null,"a":true}],"a":{"y":false,"x":"\u4f60"},"m":[],"n":{}})");
    EXPECT_EQ(to_json(v),
              "{\"a\":{\"x\":\"你\",\"y\":false},\"m\":[],\"n\":{},\"z\":[1,-2,{\"a\":true,\"b\":null}]}");
    EXPECT_EQ(to_json_line(v), to_json(v) + "\n");
    EXPECT_EQ(to_json_line(Json::Value()), "null\n");

    Json::Value keys(Json::objectValue);
    keys["q\"uote"] = 1;
    keys["B"] = 2;
    keys["a"] = 3;
    EXPECT_EQ(to_json(keys), R"({"B":2,"a":3,"q\"uote":1})");

    Json::Value ints(Json::arrayValue);
    ints.append(Json::Value(std::numeric_limits<Json::Int64>::min()));
    ints.append(Json::Value(std::numeric_limits<Json::UInt64>::max()));
    ints.append(0);
    EXPECT_EQ(to_json(ints), "[-9223372036854775808,18446744073709551615,0]");

    std::string with_nul("a\0b", 3);
    EXPECT_EQ(to_json(Json::Value(with_nul.data(), with_nul.data() + 3)), "\"a\\u0000b\"");
}

TEST(JsonValue, DoublesReadBackToTheSameValue) {
    const double values[] = {0.1,
                             -0.5,
                             1.0 / 3.0,
                             2.0,
                             -3.7,
                             12.9,
                             1e300,
                             -1e-300,
                             5e-324,
                             1e21,
                             123456789.125,
                             -0.0,
                             std::numeric_limits<double>::max(),
                             40.2f};
    for (double d : values) {
        Json::Value v(d);
        std::string text = to_json(v);
        Json::Value back = parse("[" + text + "]")[0];
        EXPECT_TRUE(back.isDouble()) << text;
        double r = back.asDouble();
        EXPECT_EQ(std::memcmp(&r, &d, sizeof d), 0) << text;
    }
    EXPECT_EQ(to_json(Json::Value(2.0)), "2.0");
    EXPECT_EQ(to_json(Json::Value(0.1)), "0.1");
    EXPECT_EQ(to_json(Json::Value(-3.75)), "-3.75");
    EXPECT_EQ(to_json(Json::Value(std::nan(""))), "null");
}

TEST(JsonValue, ServerContentIsRewrittenByteExact) {
    // What the fetch step does with a reply's "asr_content".
    Json::Value reply = parse(
        R"({"asr_param":{"err_no":0,"status":2},"asr_content":{"text":"今天\"天气\"\\好\n","begin":-120,"conf":0.875,"words":["今天","天气"]}})");
    EXPECT_EQ(to_json_line(reply["asr_content"]),
              "{\"begin\":-120,\"conf\":0.875,\"text\":\"今天\\\"天气\\\"\\\\好\\n\",\"words\":[\"今天\","
              "\"天气\"]}\n");
    EXPECT_EQ(to_json_line(reply["missing"]), "null\n");
}

}  // namespace
}  // namespace vela
