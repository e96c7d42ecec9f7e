// Limits across sessions and node names in sids.
#include <algorithm>
#include <cctype>

#include "server_fixture.h"

namespace asrserver {
namespace {

class ServerLimitsTest : public ServerTest {};

TEST_F(ServerLimitsTest, AudioHeldByAllSessionsIsCapped) {
    ServiceConfig config = fastConfig();
    config.max_held_bytes = 10000;
    start(config);
    const std::string a = newSession();
    const std::string b = newSession();
    const std::string chunk(4000, 'a');
    EXPECT_EQ(0, errNo(upload(a, 2, chunk)));  // held until packet 1 comes
    EXPECT_EQ(0, errNo(upload(b, 2, chunk)));
    const Json::Value refused = upload(b, 3, chunk);
    EXPECT_EQ(4, errNo(refused));
    EXPECT_EQ("limit reached: the server holds as much audio as it may",
              refused["asr_param"]["err_msg"].asString());
    EXPECT_EQ(8000u, service_->heldBytes());

    EXPECT_EQ(0, errNo(upload(a, 1, chunk)));  // a's audio goes to its decoder
    EXPECT_EQ(4000u, service_->heldBytes());
    EXPECT_EQ(0, errNo(upload(b, 3, chunk)));
    EXPECT_EQ(8000u, service_->heldBytes());
    advanceClock(std::chrono::minutes(1));
    EXPECT_EQ(2u, service_->expireIdle());  // expired sessions give their share back
    EXPECT_EQ(0u, service_->heldBytes());
}

TEST_F(ServerLimitsTest, SidsNameTheirNodeAndOtherNodesSidsAreUnknown) {
    ServiceConfig config = fastConfig();
    config.node = "node-2_b";
    start(config);
    const std::string sid = newSession();
    ASSERT_EQ(0u, sid.rfind("node-2_b.", 0)) << sid;
    const std::string random = sid.substr(sid.find('.') + 1);
    EXPECT_EQ(32u, random.size());
    EXPECT_TRUE(std::all_of(random.begin(), random.end(), [](char c) {
        return std::isxdigit(c) && !std::isupper(c);
    })) << sid;
    for (const std::string& other : {"node-3." + random, random, "." + random, "node-2_b." + random + ".x"}) {
        EXPECT_EQ(2, errNo(upload(other, 1, std::string(320, 'a')))) << other;
        EXPECT_EQ(2, errNo(fetch(other))) << other;
    }
    EXPECT_EQ(0, errNo(upload(sid, -1, std::string(320, 'a'))));
    EXPECT_EQ(3, status(fetch(sid)));
}

}  // namespace
}  // namespace asrserver
