#include "speech-util/utilcxx/text_encoding/iconv_ex.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "../../glog2speech/log_test_util.h"
#include "speech-util/glog2speech/glog2speech.h"

namespace {

using speech::util::utf8_to_gbk;

constexpr char kUntouched = '\x5a';

// Converts `utf8` with a destination of `des_len` bytes inside a larger buffer
// whose bytes start as kUntouched; returns the whole buffer.
std::vector<char> convert(const std::string& utf8, uint32_t des_len, int* rc, size_t slack = 16) {
    std::vector<char> buf(des_len + slack, kUntouched);
    *rc = utf8_to_gbk(utf8.c_str(), buf.data(), des_len);
    return buf;
}

// The text before the first zero of the first `des_len` bytes.
std::string text_of(const std::vector<char>& buf) { return std::string(buf.data()); }

// Direct iconv conversion of valid input, for comparison.
std::string iconv_gbk(std::string in) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    std::string out(in.size() * 2, '\0');
    char* ip = in.data();
    char* op = out.data();
    size_t il = in.size(), ol = out.size();
    const size_t rc = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    EXPECT_NE(static_cast<size_t>(-1), rc);
    out.resize(out.size() - ol);
    return out;
}

TEST(Utf8ToGbk, RefusesInvalidArguments) {
    char buf[8] = "keep";
    EXPECT_EQ(-1, utf8_to_gbk(nullptr, buf, sizeof(buf)));
    EXPECT_EQ(-1, utf8_to_gbk("abc", nullptr, 8));
    EXPECT_EQ(-1, utf8_to_gbk("abc", buf, 0));
    EXPECT_STREQ("keep", buf);
}

TEST(Utf8ToGbk, ConvertsChineseTextLikeIconvAndZeroPads) {
    const std::string utf8 =
        "\xe4\xb8\xad\xe6\x96\x87 mixed "
        "\xe4\xbd\xa0\xe5\xa5\xbd\xef\xbc\x8c\xe4\xb8\x96\xe7\x95\x8c\xe2\x82\xac";
    int rc = 1;
    const std::vector<char> buf = convert(utf8, 64, &rc);
    EXPECT_EQ(0, rc);
    EXPECT_EQ("\xd6\xd0\xce\xc4", text_of(buf).substr(0, 4));
    const std::string expected = iconv_gbk(utf8);
    EXPECT_EQ(expected, text_of(buf));
    for (size_t i = expected.size(); i < 64; ++i) EXPECT_EQ('\0', buf[i]) << i;
    for (size_t i = 64; i < buf.size(); ++i) EXPECT_EQ(kUntouched, buf[i]) << i;
}

TEST(Utf8ToGbk, DropsBadSequencesAndGoesOn) {
    int rc = 1;
    // A stray continuation byte.
    EXPECT_EQ(
        "ab\xd6\xd0"
        "cd",
        text_of(convert("ab\x80\xe4\xb8\xad"
                        "cd",
                        32, &rc)));
    EXPECT_EQ(0, rc);
    // A character GBK cannot hold (a four-byte emoji) is dropped whole.
    EXPECT_EQ("ab", text_of(convert("a\xf0\x9f\x98\x80"
                                    "b",
                                    32, &rc)));
    EXPECT_EQ(0, rc);
    // Several bad bytes in a row, the last one at the very end.
    EXPECT_EQ("xy", text_of(convert("\xbf\xbfx\x80y\xff", 32, &rc)));
    EXPECT_EQ(0, rc);
}

TEST(Utf8ToGbk, TruncatedSequenceAtTheEndKeepsWhatWasConverted) {
    int rc = 1;
    EXPECT_EQ("ab\xd6\xd0", text_of(convert("ab\xe4\xb8\xad\xe6\x96", 32, &rc)));
    EXPECT_EQ(0, rc);
}

TEST(Utf8ToGbk, ConvertsAtMost2047InputBytes) {
    int rc = 1;
    const std::vector<char> buf = convert(std::string(3000, 'x'), 4096, &rc);
    EXPECT_EQ(0, rc);
    EXPECT_EQ(std::string(2047, 'x'), text_of(buf));
    for (size_t i = 2047; i < 4096; ++i) ASSERT_EQ('\0', buf[i]) << i;

    // A character cut by the 2047-byte limit is left out.
    const std::string cut = std::string(2046, 'y') + "\xe4\xb8\xad";
    EXPECT_EQ(std::string(2046, 'y'), text_of(convert(cut, 4096, &rc)));
}

TEST(Utf8ToGbk, ResultLongerThanDestinationIsCutWholeAndTerminated) {
    const std::string utf8 =
        "\xe4\xb8\xad\xe6\x96\x87"
        "abc";  // GBK: 4 bytes + "abc"
    int rc = 1;
    struct Case {
        uint32_t des_len;
        std::string text;
    };
    for (const Case& c :
         {Case{1, ""}, Case{2, ""}, Case{3, "\xd6\xd0"}, Case{4, "\xd6\xd0"}, Case{5, "\xd6\xd0\xce\xc4"},
          Case{7,
               "\xd6\xd0\xce\xc4"
               "ab"},
          Case{8,
               "\xd6\xd0\xce\xc4"
               "abc"}}) {
        const std::vector<char> buf = convert(utf8, c.des_len, &rc);
        EXPECT_EQ(0, rc);
        EXPECT_EQ(c.text, text_of(buf)) << "des_len " << c.des_len;
        for (size_t i = c.text.size(); i < c.des_len; ++i) EXPECT_EQ('\0', buf[i]);
        EXPECT_EQ(kUntouched, buf[c.des_len]) << "wrote past des_len " << c.des_len;
    }
}

// Runs `body` with logging on and returns "LEVEL file:line] message" for every
// line it logged, the line number replaced by N.
template <typename Body>
std::vector<std::string> logged(Body body) {
    speech::testing_util::TempDir dir;
    EXPECT_EQ(0, glog2speech_init(speech::GLOG_DEBUG, "gbk.log", dir.path().c_str(), "gbk.log", 0));
    body();
    speech::glog2speech_shutdown();
    std::vector<std::string> lines = speech::testing_util::read_lines(dir.path() + "/gbk.log.DEBUG");
    std::vector<std::string> out;
    for (size_t i = 3; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const size_t file = line.find(" iconv_ex:");
        const size_t end = line.find("] ", file);
        if (file == std::string::npos || end == std::string::npos) continue;
        out.push_back(line.substr(0, line.find(' ')) + " iconv_ex:N" + line.substr(end));
    }
    return out;
}

TEST(Utf8ToGbk, LogsEachFailureAtWarningLevel) {
    char buf[32];
    EXPECT_EQ(std::vector<std::string>{"WARNING iconv_ex:N] [utf8_to_gbk] parameters are invalid"},
              logged([&] { utf8_to_gbk("abc", buf, 0); }));
    EXPECT_EQ(std::vector<std::string>{"WARNING iconv_ex:N] [utf8_to_gbk][errcode=84] call iconv failed: "
                                       "Invalid or incomplete multibyte or wide character"},
              logged([&] {
                  utf8_to_gbk(
                      "ab\x80"
                      "cd",
                      buf, sizeof(buf));
              }));
    EXPECT_EQ((std::vector<std::string>{
                  "WARNING iconv_ex:N] [utf8_to_gbk][errcode=22] call iconv failed: Invalid argument",
                  "WARNING iconv_ex:N] [utf8_to_gbk] call get_utf8_font_size failed."}),
              logged([&] { utf8_to_gbk("ab\xe4\xb8", buf, sizeof(buf)); }));
    EXPECT_TRUE(logged([&] { utf8_to_gbk("plain", buf, sizeof(buf)); }).empty());
}

}  // namespace
