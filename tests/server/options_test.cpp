#include "server/asr-server/options.h"

#include <gtest/gtest.h>

#include <vector>

namespace asrserver {
namespace {

ParseOutcome run(std::vector<const char*> args, Options& o, std::string& message) {
    args.insert(args.begin(), "asr-server");
    return parseOptions(static_cast<int>(args.size()), args.data(), o, message);
}

TEST(Options, DefaultsServeTheSdkOnLoopback) {
    Options o;
    std::string message;
    ASSERT_EQ(ParseOutcome::Run, run({}, o, message));
    EXPECT_EQ("127.0.0.1", o.http.host);
    EXPECT_EQ(8900, o.http.port);
    EXPECT_EQ("/asr/v2", o.http.path);
    EXPECT_EQ("pocketsphinx", o.recognizer);
    EXPECT_EQ(std::chrono::milliseconds(500), o.service.hold);
}

TEST(Options, ReadsBothSpellingsAndRejectsBadValues) {
    Options o;
    std::string message;
    ASSERT_EQ(ParseOutcome::Run,
              run({"--port=0", "--path", "/x/y", "--recognizer", "echo", "--final-delay-ms", "250",
                   "--model=/m", "--decoders", "2", "--verbose"},
                  o, message));
    EXPECT_EQ(0, o.http.port);
    EXPECT_EQ("/x/y", o.http.path);
    EXPECT_EQ("echo", o.recognizer);
    EXPECT_EQ(std::chrono::milliseconds(250), o.service.limits.final_delay);
    EXPECT_EQ("/m", o.pocketsphinx.model_dir);
    EXPECT_EQ(2u, o.pocketsphinx.max_decoders);
    EXPECT_TRUE(o.http.verbose);
    EXPECT_EQ(ParseOutcome::Help, run({"--port", "1", "-h"}, o, message));

    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"--port", "65536"},
                                                                              {"--port", "-1"},
                                                                              {"--port"},
                                                                              {"--path", "asr"},
                                                                              {"--recognizer", "kaldi"},
                                                                              {"--decoders", "0"},
                                                                              {"--hold-ms", "1e3"},
                                                                              {"--bogus", "1"}}) {
        message.clear();
        EXPECT_EQ(ParseOutcome::Error, run(bad, o, message)) << bad[0];
        EXPECT_FALSE(message.empty()) << bad[0];
    }
}

}  // namespace
}  // namespace asrserver
