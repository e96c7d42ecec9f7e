// The parts of an AudioTask's exchange that both variants of handle() share.
#include <json/json.h>
#include <unistd.h>

#include "speech-asr-sdk/AudioTask.h"
#include "speech-asr-sdk/VelaASRInternal.h"
#include "speech-asr-sdk/failure_cause.h"
#include "speech-asr-sdk/json_text.h"
#include "speech-util/curlreq/curlreq.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "wire/vela_wire.h"

namespace vela {

namespace {

// Pauses before the resends of an upload, in milliseconds.
const int kResendPauseMs[] = {100, 200, 400};
const int kPauseStepMs = 10;

// Whether a failed upload is worth sending again: the server was not reached,
// the exchange broke off, or the server failed (5xx).
bool worthResending(const speech::util::CurlRequest& req) {
    return req.curl_ret_code != CURLE_OK || req.http_status >= 500;
}

// Waits `ms` unless the session ends meanwhile; false when it has ended.
bool pauseWhileRunning(const VelaASRLinuxSDK* sdk, int ms) {
    for (int waited = 0; waited < ms; waited += kPauseStepMs) {
        if (sdk->status.load() == ST_FINISH) return false;
        usleep(kPauseStepMs * 1000);
    }
    return sdk->status.load() != ST_FINISH;
}

}  // namespace

int AudioTask::exchange(const char* unit, boost::shared_array<char>& body, timeval* received,
                        bool* undelivered) const {
    const unsigned logid = static_cast<unsigned>(_logid);
    const WaitLimits limits = _sdk != nullptr ? _sdk->_limits : WaitLimits();
    speech::util::CurlReqPtr req;
    int ret = -1;
    for (size_t attempt = 0;; ++attempt) {
        req.reset(new speech::util::CurlRequest(kReplyBufLen, 0, 0));
        req->setTimeoutsMs(limits.connect_ms, limits.exchange_ms);
        // The server keeps packets by index, so an upload may arrive twice:
        // the client sends it again when a reused connection was closed under it.
        if (_type == kUploadType) req->setIdempotent(true);
        if (_type != kUploadType) {
            ret = req->doGet(_url.c_str());
        } else {
            speech::util::CurlForm form;           // refers to the packet bytes; freed after the request
            const size_t len = _post ? _size : 0;  // no packet, no bytes
            if (form.addBuffer(wire::kAudioPart, wire::kAudioFileName, _post.get(), len,
                               wire::kAudioPartType)) {
                form.attach(req->getCurl());
            }
            ret = req->doPost(_url.c_str(), nullptr);
        }
        if (ret == 0) break;
        note_exchange_failure(*req, limits);
        speech::glog2speech_writelog(speech::GLOG_WARNING, unit, __LINE__,
                                     "AudioTask::handle  [url:%s][logid:%u][err:%s][errno:%d]", _url.c_str(),
                                     logid, req->getErrMsg(), ret);
        if (_type != kUploadType || _sdk == nullptr || !worthResending(*req) ||
            attempt == sizeof(kResendPauseMs) / sizeof(kResendPauseMs[0]) ||
            !pauseWhileRunning(_sdk, kResendPauseMs[attempt])) {
            break;
        }
        speech::glog2speech_writelog(speech::GLOG_NOTICE, unit, __LINE__,
                                     "AudioTask::handle resend [url:%s][logid:%u][idx:%d][resend:%d]",
                                     _url.c_str(), logid, _idx, static_cast<int>(attempt + 1));
    }
    if (received != nullptr) gettimeofday(received, nullptr);
    if (undelivered != nullptr) *undelivered = _type == kUploadType && ret != 0 && worthResending(*req);
    if (ret != 0) return ret;
    body = req->getData();
    if (!body) body.reset(new char[1]());  // no buffer: an empty reply
    speech::glog2speech_writelog(speech::GLOG_NOTICE, unit, __LINE__,
                                 "AudioTask::handle  [url:%s][logid:%u][post size:%d][idx:%d][buf:%s]",
                                 _url.c_str(), logid, static_cast<int>(_size), _idx, body.get());
    return ret;
}

const Json::Value& AudioTask::reply_param(const Json::Value& root) {
    if (root.isObject() && root.isMember(wire::kParamKey) && root[wire::kParamKey].isObject())
        return root[wire::kParamKey];
    return Json::Value::nullSingleton();
}

std::string AudioTask::fill_result(const Json::Value& root, int s, ASRResultM& result) {
    if (s != wire::kStatusIntermediate && s != wire::kStatusFinal) {
        result.set_parameter(VELA_ASR_UNKNOWN);
        return std::string();
    }
    std::string content = to_json_line(root[wire::kContentKey]);  // "null" when absent
    result.set_parameter(s == wire::kStatusIntermediate ? VELA_ASR_MIDDLE : VELA_ASR_FINISH);
    result.set_asr_content(content);
    return content;
}

void AudioTask::log_status(const char* unit, int s, const std::string& content) const {
    const unsigned logid = static_cast<unsigned>(_logid);
    const bool known = s == wire::kStatusIntermediate || s == wire::kStatusFinal;
    speech::glog2speech_writelog(speech::GLOG_NOTICE, unit, __LINE__,
                                 "AudioTask::handle status :%d  [logid:%u][asr:%s]", s, logid,
                                 known ? content.c_str() : "unknown asr");
    speech::glog2speech_writelog(speech::GLOG_NOTICE, unit, __LINE__,
                                 "AudioTask::handle status :%d  [logid:%u]", s, logid);
}

}  // namespace vela
