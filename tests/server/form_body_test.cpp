#include "server/asr-server/multipart.h"

#include <gtest/gtest.h>

namespace asrserver {
namespace {

TEST(Multipart, FindsTheBoundaryWhateverTheMediaType) {
    EXPECT_EQ("abc", boundaryOf("application/json; boundary=abc"));
    EXPECT_EQ("a;b c", boundaryOf("multipart/form-data; charset=x; BOUNDARY=\"a;b c\""));
    EXPECT_EQ("", boundaryOf("application/json"));
    EXPECT_EQ("", boundaryOf(""));
}

TEST(Multipart, SplitsPartsKeepingBinaryData) {
    // Data holding CR LF, dashes and NUL must come back byte for byte.
    const std::string audio("\r\n--x\0\r\n-", 9);
    const std::string body =
        "preamble\r\n--XyZ\r\n"
        "content-disposition: form-data; name=\"create-session\"\r\n"
        "Content-Type: text/json\r\n\r\n"
        "{\"a\":1}\r\n--XyZ\r\n"
        "Content-Disposition: attachment; name=asr_audio; filename=\"\"\r\n\r\n" +
        audio + "\r\n--XyZ\r\n\r\nbare\r\n--XyZ--\r\nepilogue";
    std::vector<FormPart> parts;
    ASSERT_TRUE(parseMultipart(body, "XyZ", parts));
    ASSERT_EQ(3u, parts.size());
    EXPECT_EQ("create-session", parts[0].name);
    EXPECT_EQ("text/json", parts[0].content_type);
    EXPECT_EQ("{\"a\":1}", parts[0].data);
    EXPECT_EQ("asr_audio", parts[1].name);
    EXPECT_EQ("", parts[1].filename);
    EXPECT_EQ(audio, parts[1].data);
    EXPECT_EQ("", parts[2].name);
    EXPECT_EQ("bare", parts[2].data);
}

TEST(Multipart, RejectsIncompleteBodies) {
    std::vector<FormPart> parts;
    EXPECT_FALSE(parseMultipart("no delimiter at all", "b", parts));
    EXPECT_FALSE(parseMultipart("--b\r\nName: x\r\n\r\nunterminated data", "b", parts));
    EXPECT_FALSE(parseMultipart("--bjunk\r\n\r\nx\r\n--b--", "b", parts));
    EXPECT_TRUE(parseMultipart("--b--", "b", parts));
    EXPECT_TRUE(parts.empty());
}

}  // namespace
}  // namespace asrserver
