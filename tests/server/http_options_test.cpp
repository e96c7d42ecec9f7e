// Command-line options of the HTTP layer: limits, time-outs and TLS files.
#include <gtest/gtest.h>

#include <vector>

#include "server/asr-server/options.h"

namespace asrserver {
namespace {

ParseOutcome parse(std::vector<const char*> args, Options& options, std::string& message) {
    args.insert(args.begin(), "asr-server");
    return parseOptions(static_cast<int>(args.size()), args.data(), options, message);
}

TEST(ServerHttpOptions, SetLimitsAndTls) {
    Options o;
    std::string message;
    ASSERT_EQ(ParseOutcome::Run,
              parse({"--tls-cert", "c.pem", "--tls-key=k.pem", "--keep-alive-s", "7", "--keep-alive-requests",
                     "9", "--max-connections", "40", "--max-connections-per-client", "3", "--head-timeout-s",
                     "2", "--body-timeout-s", "4"},
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

    const struct {
        std::vector<const char*> args;
        const char* message;
    } errors[] = {
        {{"--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
        {{"--tls-key", "k.pem"}, "--tls-cert and --tls-key go together"},
        {{"--tls-cert", ""}, "empty --tls-cert"},
        {{"--max-connections-per-client", "0"},
         "invalid value '0' for --max-connections-per-client (1 to 1000000)"},
        {{"--head-timeout-s", "-1"}, "invalid value '-1' for --head-timeout-s (1 to 3600)"},
    };
    for (const auto& e : errors) {
        Options options;
        EXPECT_EQ(ParseOutcome::Error, parse(e.args, options, message)) << e.message;
        EXPECT_EQ(e.message, message);
    }
}

}  // namespace
}  // namespace asrserver
