// Command-line parsing of asr-server: the vocabulary options, limits, node
// names and the HTTP layer's limits and TLS files.
#include "server/asr-server/options.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace asrserver {
namespace {

ParseOutcome parse(std::vector<const char*> args, Options& options, std::string& message) {
    args.insert(args.begin(), "asr-server");
    return parseOptions(static_cast<int>(args.size()), args.data(), options, message);
}

struct Rejected {
    std::vector<const char*> args;
    const char* message;
};

// Each case's arguments are refused with its message.
void expectRejected(const std::vector<Rejected>& cases) {
    for (const Rejected& c : cases) {
        Options options;
        std::string message;
        EXPECT_EQ(ParseOutcome::Error, parse(c.args, options, message)) << c.message;
        EXPECT_EQ(c.message, message);
    }
}

TEST(ServerOptions, WordsBecomeNormalisedPhrases) {
    Options options;
    std::string message;
    ASSERT_EQ(ParseOutcome::Run,
              parse({"--words", "  Hello   World|good MORNING |o'clock"}, options, message))
        << message;
    EXPECT_EQ((std::vector<std::string>{"hello world", "good morning", "o'clock"}),
              options.pocketsphinx.phrases);
    EXPECT_TRUE(options.pocketsphinx.grammar_file.empty());

    Options with_file;
    ASSERT_EQ(ParseOutcome::Run, parse({"--jsgf=/tmp/x.gram"}, with_file, message)) << message;
    EXPECT_EQ("/tmp/x.gram", with_file.pocketsphinx.grammar_file);

    Options plain;  // no option: the language model
    ASSERT_EQ(ParseOutcome::Run, parse({}, plain, message));
    EXPECT_TRUE(plain.pocketsphinx.phrases.empty());
    EXPECT_TRUE(plain.pocketsphinx.grammar_file.empty());
}

TEST(ServerOptions, RejectsVocabulariesThatCannotWork) {
    expectRejected({
        {{"--words", ""}, "--words: empty phrase in ''"},
        {{"--words", "yes||no"}, "--words: empty phrase in 'yes||no'"},
        {{"--words", "yes|<no>"}, "--words: '<no>' is not a plain word (letters, digits and ' - . _ only)"},
        {{"--words", "call home;"},
         "--words: 'home;' is not a plain word (letters, digits and ' - . _ only)"},
        {{"--words"}, "missing value for --words"},
        {{"--jsgf", ""}, "empty --jsgf"},
        {{"--jsgf", "g.gram", "--words", "yes"}, "--jsgf and --words exclude each other"},
        {{"--words", "yes", "--recognizer", "echo"}, "--jsgf and --words need the pocketsphinx recognizer"},
        {{"--recognizer", "echo", "--jsgf", "g.gram"}, "--jsgf and --words need the pocketsphinx recognizer"},
    });
}

TEST(ServerOptions, NodeNamesAndLimits) {
    Options options;
    std::string message;
    ASSERT_EQ(ParseOutcome::Run,
              parse({"--node", "eu-1_A", "--gap-timeout-ms", "250", "--decoder-idle-ms=900", "--max-held-mb",
                     "3", "--shaped-noise-db", "0", "--nbest", "5"},
                    options, message))
        << message;
    EXPECT_EQ("eu-1_A", options.service.node);
    EXPECT_EQ(250, options.service.limits.gap_timeout.count());
    EXPECT_EQ(900, options.service.limits.decoder_idle.count());
    EXPECT_EQ(3u << 20, options.service.max_held_bytes);
    EXPECT_EQ(0, options.pocketsphinx.shaped_noise_db);
    EXPECT_EQ(30, Options().pocketsphinx.shaped_noise_db);
    EXPECT_EQ(ParseOutcome::Error, parse({"--shaped-noise-db", "91"}, options, message));
    EXPECT_EQ("invalid value '91' for --shaped-noise-db", message);
    EXPECT_EQ(5u, options.pocketsphinx.nbest);
    EXPECT_EQ(0u, Options().pocketsphinx.nbest);
    EXPECT_EQ(ParseOutcome::Error, parse({"--nbest", "101"}, options, message));
    for (const char* bad : {"", "a.b", "a b", "x/y", "123456789012345678901234567890123"}) {
        Options o;
        EXPECT_EQ(ParseOutcome::Error, parse({"--node", bad}, o, message)) << bad;
    }
    EXPECT_EQ(ParseOutcome::Run, parse({"--node", "12345678901234567890123456789012"}, options, message));
}

// Each profile gives the decoders settings of its own; others are refused.
TEST(ServerOptions, ProfilesSelectSearchSettings) {
    EXPECT_EQ("balanced", Options().pocketsphinx.profile);
    std::set<std::vector<std::string>> settings;
    for (const char* name : {"accurate", "balanced", "fast"}) {
        Options options;
        std::string message;
        ASSERT_EQ(ParseOutcome::Run, parse({"--profile", name}, options, message)) << message;
        EXPECT_EQ(name, options.pocketsphinx.profile);
        settings.insert(pocketSphinxArguments(options.pocketsphinx));
    }
    EXPECT_EQ(3u, settings.size());
    expectRejected({
        {{"--profile", "quick"}, "unknown profile 'quick' (use accurate|balanced|fast)"},
        {{"--profile", "Fast"}, "unknown profile 'Fast' (use accurate|balanced|fast)"},
        {{"--profile"}, "missing value for --profile"},
    });
}

// Options of the HTTP layer: limits, time-outs and TLS files.
TEST(ServerHttpOptions, SetLimitsAndTls) {
    Options o;
    std::string message;
    ASSERT_EQ(ParseOutcome::Run, parse({"--tls-cert",
                                        "c.pem",
                                        "--tls-key=k.pem",
                                        "--keep-alive-s",
                                        "7",
                                        "--keep-alive-requests",
                                        "9",
                                        "--max-connections",
                                        "40",
                                        "--max-connections-per-client",
                                        "3",
                                        "--head-timeout-s",
                                        "2",
                                        "--body-timeout-s",
                                        "4",
                                        "--trust-proxy",
                                        "10.0.0.1",
                                        "--trust-proxy=::1",
                                        "--max-sessions-per-client",
                                        "5"},
                                       o, message))
        << message;
    EXPECT_EQ("c.pem", o.http.tls_cert);
    EXPECT_EQ("k.pem", o.http.tls_key);
    EXPECT_EQ(std::chrono::seconds(7), o.http.keep_alive);
    EXPECT_EQ(9u, o.http.keep_alive_requests);
    EXPECT_EQ(40u, o.http.max_connections);
    EXPECT_EQ(3u, o.http.max_per_client);
    EXPECT_EQ(std::chrono::seconds(2), o.http.head_timeout);
    EXPECT_EQ(std::chrono::seconds(4), o.http.body_timeout);
    EXPECT_EQ((std::vector<std::string>{"10.0.0.1", "::1"}), o.http.trusted_proxies);
    EXPECT_EQ(5u, o.service.max_sessions_per_client);

    expectRejected({
        {{"--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
        {{"--tls-key", "k.pem"}, "--tls-cert and --tls-key go together"},
        {{"--tls-cert", ""}, "empty --tls-cert"},
        {{"--max-connections-per-client", "0"},
         "invalid value '0' for --max-connections-per-client (1 to 1000000)"},
        {{"--head-timeout-s", "-1"}, "invalid value '-1' for --head-timeout-s (1 to 3600)"},
        {{"--trust-proxy", "nginx.local"}, "invalid --trust-proxy 'nginx.local' (an IPv4 or IPv6 address)"},
        {{"--max-sessions-per-client", "0"},
         "invalid value '0' for --max-sessions-per-client (1 to 1000000)"},
    });
}

}  // namespace
}  // namespace asrserver
