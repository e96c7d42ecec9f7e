// The server protocol: the URLs of the three requests, the parsing of replies
// and the opening of a session.
#include <json/json.h>

#include <exception>
#include <string>

#include "speech-asr-sdk/VelaASRInternal.h"
#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-asr-sdk/failure_cause.h"
#include "speech-util/curlreq/curlreq.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "wire/vela_wire.h"

namespace vela {

namespace {

const char* const kUnit = kSdkLogUnit;
const char kSessionBody[] = R"({"devid":"asrclient-test","pfm":"centos6.7","ver":"vert","gender_recog":"1"})";

// A query value with every byte but letters, digits and "-._~" written as
// %XX. Such sids, the usual ones and those of a clustered server
// ("node1.0123abcd") included, go out unchanged.
std::string queryValue(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

}  // namespace

std::string VelaASRLinuxSDK::session_url() const {
    return _base_url + "?pid=" + std::to_string(_app_pid) + "&appname=" + _app_name +
           "&idx=0&rate=" + std::to_string(_rate);
}

std::string VelaASRLinuxSDK::upload_url(int idx) const {
    return _base_url + "?pid=" + std::to_string(_app_pid) + "&appname=" + _app_name +
           "&idx=" + std::to_string(idx) + "&sid=" + queryValue(_sid) + "&rate=" + std::to_string(_rate);
}

std::string VelaASRLinuxSDK::fetch_url() const {
    return _base_url + "?pid=" + std::to_string(_app_pid) + "&appname=" + _app_name +
           "&sid=" + queryValue(_sid) + "&rate=" + std::to_string(_rate);
}

bool VelaASRLinuxSDK::parse_reply(const char* text, Json::Value& root) {
    Json::Features features;
    features.allowComments_ = true;
    features.strictRoot_ = true;
    Json::Reader reader(features);
    try {
        return reader.parse(text != nullptr ? text : "", root, false);
    } catch (const std::exception&) {
        // The parser throws instead of overflowing the stack on deep nesting.
        return false;
    }
}

int VelaASRLinuxSDK::create_session() {
    const std::string url = session_url();
    const unsigned logid = logidOf(_logid);
    speech::util::CurlReqPtr req(new speech::util::CurlRequest(kReplyBufLen, 0, 0));
    req->setTimeoutsMs(_limits.connect_ms, _limits.exchange_ms);
    // A new connection, never a kept-alive one: a server may close an idle
    // connection just as the request arrives, and a creation that got no reply
    // cannot be told from one the server acted on, so it could not be sent
    // again without risking a second session (see curlreq.h). Fetches and
    // uploads, which may be repeated, keep reusing connections.
    curl_easy_setopt(req->getCurl(), CURLOPT_FRESH_CONNECT, 1L);

    int ret;
    {
        speech::util::CurlForm form;
        if (form.addContent("create-session", kSessionBody, sizeof(kSessionBody) - 1, "text/json")) {
            form.attach(req->getCurl());
        }
        ret = req->doPost(url.c_str(), nullptr);
    }
    if (ret != 0) {
        _err_msg = req->getErrMsg();
        note_exchange_failure(*req, _limits);
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "VelaASRLinuxSDK::create_session create_session "
                                     "[url:%s][logid:%u][err:%s][errno:%d]",
                                     url.c_str(), logid, _err_msg.c_str(), ret);
        return 3;
    }

    boost::shared_array<char> data = req->getData();
    const char* body = data ? data.get() : "";
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "VelaASRLinuxSDK::create_session create_session [url:%s][logid:%u][buf:%s]",
                                 url.c_str(), logid, body);

    Json::Value root;
    if (!parse_reply(body, root)) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "create seesion parse json faild [logid:%u]", logid);
        note_failure(FailureKind::kReply, "the server's reply to the session request is not JSON");
        return 3;
    }
    // Members are looked up only in objects: the library refuses (throws) a
    // member lookup in an array or a scalar.
    const bool ok =
        root.isObject() && root.isMember(wire::kParamKey) && root[wire::kParamKey].isObject() &&
        root[wire::kParamKey].isMember(wire::kErrNoKey) && root[wire::kParamKey][wire::kErrNoKey].isInt() &&
        root[wire::kParamKey][wire::kErrNoKey].asInt() == wire::kOk &&
        root[wire::kParamKey].isMember(wire::kSidKey) && root[wire::kParamKey][wire::kSidKey].isString();
    if (!ok) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "create seesion  or json  faild [logid:%u]", logid);
        note_failure(FailureKind::kReply, "the server refused the session or its reply named no session id");
        return 3;
    }
    _sid = root[wire::kParamKey][wire::kSidKey].asString();
    return 0;
}

}  // namespace vela
