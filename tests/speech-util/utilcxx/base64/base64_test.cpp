#include "speech-util/utilcxx/base64/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string encode(const std::string& s) {
    return base64_encode(reinterpret_cast<const unsigned char*>(s.data()),
                         static_cast<unsigned int>(s.size()));
}

TEST(Base64, EncodesWithPadding) {
    EXPECT_EQ("YWJj", encode("abc"));
    EXPECT_EQ("YWI=", encode("ab"));
    EXPECT_EQ("YQ==", encode("a"));
    EXPECT_EQ("", encode(""));
    EXPECT_EQ("Zm9vYmFy", encode("foobar"));
    EXPECT_EQ("Zm9vYmE=", encode("fooba"));
    EXPECT_EQ("+/8=", encode("\xfb\xff"));
    EXPECT_EQ("", base64_encode(nullptr, 5));
}

TEST(Base64, DecodesGroupsAndShortTail) {
    EXPECT_EQ("abc", base64_decode("YWJj"));
    EXPECT_EQ("ab", base64_decode("YWI="));
    EXPECT_EQ("a", base64_decode("YQ=="));
    EXPECT_EQ("ab", base64_decode("YWI"));
    EXPECT_EQ("a", base64_decode("YQ"));
    EXPECT_EQ("abc", base64_decode("YWJjY")) << "a single leftover character carries no byte";
    EXPECT_EQ(std::string("\xfb\xff", 2), base64_decode("+/8="));
}

TEST(Base64, DecodingStopsAtFirstCharacterOutsideTheAlphabet) {
    EXPECT_EQ("abc", base64_decode("YWJj\nYWJj"));
    EXPECT_EQ("abc", base64_decode("YWJj=YWJj"));
    EXPECT_EQ("", base64_decode("=YWJj"));
    EXPECT_EQ("", base64_decode(" YWJj"));
    EXPECT_EQ("", base64_decode(""));
    // Bytes above 0x7f never count as letters, and a NUL ends the text too.
    EXPECT_EQ("a", base64_decode("YW\xe9Jj"));
    EXPECT_EQ("a", base64_decode(std::string("YW\0Jj", 5)));
}

TEST(Base64, RoundTripsRandomBytesOfEveryTailLength) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t len = 0; len < 100; ++len) {
        std::string data(len, '\0');
        for (char& c : data) c = static_cast<char>(byte(rng));
        const std::string text = encode(data);
        ASSERT_EQ((len + 2) / 3 * 4, text.size());
        ASSERT_EQ(data, base64_decode(text)) << "length " << len;
    }
}

}  // namespace
