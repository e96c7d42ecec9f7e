// The server's answers against the shared wire header: the refusal bodies the
// SDK and the nginx front read, the stream header and the end marker.
#include "server_fixture.h"
#include "wire/vela_wire.h"

namespace asrserver {
namespace {

namespace wire = vela::wire;

// A refusal's whole reply: the error number and text, nothing else.
Json::Value refusal(int code, const std::string& text) {
    Json::Value v;
    v[wire::kParamKey][wire::kErrNoKey] = code;
    v[wire::kParamKey][wire::kErrMsgKey] = text;
    return v;
}

TEST_F(ServerTest, RefusalBodiesAreTheWireHeadersCodesAndTexts) {
    start();
    const std::string sid = newSession("8");
    const std::string q = std::string(kPath) + "?pid=1&appname=t&sid=" + sid + "&rate=8";
    const std::string type = std::string(wire::kJsonType) + "; boundary=" + kBoundary;
    const std::string pcm16k =
        form(wire::kAudioPart,
             std::string{static_cast<char>(wire::kFormatPcmAt16k), 0, 0, 0} + std::string(160, 'a'), true);
    const std::string part = form(wire::kAudioPart, "x", true), other = form("other", "x", true), none;
    struct Case {
        const char* what;
        std::string target;
        const std::string* body;  // POST with this body; null: GET
        int http_status;
        int code;
        std::string text;
    };
    const Case cases[] = {
        {"unknown sid", std::string(kPath) + "?sid=nope", nullptr, 200, wire::kUnknownSession,
         wire::kMsgUnknownSession},
        {"fetch without sid", kPath, nullptr, 200, wire::kBadRequest, wire::kMsgMissingSid},
        {"unsupported rate", std::string(kPath) + "?idx=0&rate=44", &none, 200, wire::kBadRequest,
         wire::kMsgBadRate},
        {"malformed idx", q + "&idx=x1", &part, 200, wire::kBadRequest, wire::kMsgBadIdx},
        {"no audio part", q + "&idx=1", &other, 200, wire::kBadRequest, wire::kMsgMissingAudio},
        {"packet 0", q + "&idx=0", &part, 200, wire::kBadPacket, wire::kMsgBadPacket},
        {"stream header of the other rate", q + "&idx=1", &pcm16k, 200, wire::kBadRequest,
         wire::kMsgWrongRate},
        {"unknown path", "/nope", nullptr, 404, wire::kBadRequest, std::string(wire::kMsgHttpPrefix) + "404"},
    };
    for (const Case& c : cases) {
        const httplib::Result res = c.body == nullptr
                                        ? client_->Get(c.target.c_str())
                                        : client_->Post(c.target.c_str(), *c.body, type.c_str());
        EXPECT_EQ(refusal(c.code, c.text), parse(res, c.http_status)) << c.what;
    }

    service_->drain(std::chrono::milliseconds(0));  // stops taking sessions at once
    EXPECT_EQ(refusal(wire::kStopping, wire::kMsgStopping),
              parse(client_->Post((std::string(kPath) + "?idx=0").c_str(), "", type.c_str())));
}

TEST_F(ServerTest, ResultStatusesAndTheEndMarkerAreTheWireHeaders) {
    start();
    const std::string sid = newSession();
    EXPECT_EQ(wire::kOk, errNo(upload(sid, 1, std::string(3200, 'a'))));
    const Json::Value middle = fetch(sid);
    EXPECT_EQ(wire::kStatusIntermediate, middle[wire::kParamKey][wire::kStatusKey].asInt());
    // The end marker ends the session and adds no audio.
    EXPECT_EQ(wire::kOk, errNo(upload(sid, -2, std::string(wire::kEndMarkerSize, '\0'))));
    const Json::Value last = fetchFinal(sid);
    EXPECT_EQ(wire::kStatusFinal, last[wire::kParamKey][wire::kStatusKey].asInt());
    EXPECT_EQ("received 3200 bytes in 1 packets", last[wire::kContentKey]["text"].asString());
}

}  // namespace
}  // namespace asrserver
