// The second exchange of an AudioTask, built into speechasr_private in place
// of AudioTask.cpp. Compared with the default one it keeps the session going
// on every failed fetch (only logged), takes no time stamps, passes the fixed
// text "asr_result" to the listener, and ends the session itself on a final
// reply. A session that cannot go on (an upload not delivered, no final
// result in time) is ended without an event, as every failure here is only
// logged.
#include <json/json.h>

#include "speech-asr-sdk/AudioTask.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "wire/vela_wire.h"

namespace vela {

namespace {

const char kUnit[] = "VelaASRPrivate";

// Calls the listener, if any, with the fixed user argument of this variant
// (a private copy, so that a listener writing into it harms nothing).
void deliver(VelaASRLinuxSDK* sdk, ASRResultM& result) {
    event_callback cb = sdk->_cb.load();
    if (cb == nullptr) return;
    char arg[] = "asr_result";
    cb(result, arg);
}

// Counts a fetch of a session that is still going as over. The pool frees an
// instance only once no fetch is counted, so every fetch that ran lowers the
// count it raised, whatever its outcome.
void fetch_over(VelaASRLinuxSDK* sdk) { sdk->concurrency_counter.decrementAndGet(); }

}  // namespace

bool AudioTask::fail_session(VelaASRLinuxSDK* sdk, float /*tc*/) {
    if (!sdk->finish()) return false;
    sdk->notify();
    sdk->give_back_slot();
    return true;
}

void AudioTask::handle() {
    const bool fetch = _type != 0;
    const unsigned logid = static_cast<unsigned>(_logid);
    if (!fetch && _sdk != nullptr) {
        _sdk->_task_mutex.lock();
        _sdk->_task_mutex.unlock();
    }
    if (fetch && (_sdk == nullptr || _sdk->status.load() == ST_FINISH)) {
        // A finished session stays finished: no request, no event.
        speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                     "AudioTask::handle session over, fetch dropped [logid:%u]", logid);
        return;
    }

    boost::shared_array<char> body;
    bool undelivered = false;
    const int ret = exchange(kUnit, body, nullptr, &undelivered);
    if (!fetch) {
        if (undelivered && _sdk != nullptr && fail_session(_sdk, 0.0f)) {
            speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                         "AudioTask::handle upload of packet %d not delivered, session "
                                         "ended [logid:%u]",
                                         _idx, logid);
        }
        return;
    }
    if (ret != 0) {
        fetch_over(_sdk);
        return;
    }

    Json::Value root;
    if (!VelaASRLinuxSDK::parse_reply(body.get(), root)) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "AudioTask::handle parse json faild [logid:%u]", logid);
        fetch_over(_sdk);
        return;
    }
    const Json::Value& param = reply_param(root);
    if (!param.isMember(wire::kErrNoKey) || !param[wire::kErrNoKey].isInt() ||
        param[wire::kErrNoKey].asInt() != wire::kOk || !param.isMember(wire::kStatusKey) ||
        !param[wire::kStatusKey].isInt()) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "AudioTask::handle  or json  faild [logid:%u]", logid);
        fetch_over(_sdk);
        return;
    }

    const int s = param[wire::kStatusKey].asInt();
    ASRResultM result;
    const std::string content = fill_result(root, s, result);
    if (_sdk->status.load() != ST_FINISH) deliver(_sdk, result);  // nothing after the end
    log_status(kUnit, s, content);

    fetch_over(_sdk);
    if (s == wire::kStatusFinal && _sdk->finish()) _sdk->give_back_slot();
}

}  // namespace vela
