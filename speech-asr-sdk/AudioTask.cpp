// The default exchange of an AudioTask: uploads are only logged; every fetch
// reply becomes one event for the listener and moves the instance's state.
#include "speech-asr-sdk/AudioTask.h"

#include <json/json.h>
#include <sys/time.h>

#include "speech-util/glog2speech/glog2speech.h"

namespace vela {

namespace {

const char kUnit[] = "AudioTask";

// Moves the instance to ST_FETCH unless it has finished; false when it has.
bool start_fetch(VelaASRLinuxSDK* sdk) {
    status_t s = sdk->status.load();
    while (s != ST_FINISH) {
        if (sdk->status.compare_exchange_weak(s, ST_FETCH)) return true;
    }
    return false;
}

// Lets the session go on after a non-final reply: ST_RUNNING and one fetch
// fewer counted, unless the session finished meanwhile (its notify() has
// already lowered the count then).
void continue_session(VelaASRLinuxSDK* sdk) {
    status_t s = sdk->status.load();
    while (s != ST_FINISH) {
        if (sdk->status.compare_exchange_weak(s, ST_RUNNING)) {
            sdk->concurrency_counter.decrementAndGet();
            return;
        }
    }
}

}  // namespace

void AudioTask::handle() {
    const bool fetch = _type != 0;
    const unsigned logid = static_cast<unsigned>(_logid);
    if (fetch && (_sdk == nullptr || !start_fetch(_sdk))) {
        // A finished session stays finished: no request, no event.
        speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                     "AudioTask::handle session over, fetch dropped [logid:%u]", logid);
        return;
    }

    boost::shared_array<char> body;
    timeval received;
    const int ret = exchange(kUnit, body, &received);

    // Time from the last audio push to the end of this exchange.
    auto tc = [&] { return sub_timeval_ms(_sdk->_last_audio_push.load(), received); };
    auto fail = [&] {
        ASRResultM result;
        result.set_parameter(VELA_ASR_ERR);
        result.set_tc(tc());
        _sdk->deliver_event(result);
    };

    if (!fetch) return;
    if (ret != 0) {
        fail();
        _sdk->notify();
        return;
    }

    Json::Value root;
    if (!VelaASRLinuxSDK::parse_reply(body.get(), root)) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "AudioTask::handle parse json faild [logid:%u]", logid);
        fail();
        _sdk->notify();
        return;
    }

    const Json::Value& param = reply_param(root);
    if (!param.isMember("err_no") || !param["err_no"].isInt() || param["err_no"].asInt() != 0) {
        fail();
        if (_sdk->_cb.load() != nullptr) {
            speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                         "AudioTask::handle  or json  faild [logid:%u]", logid);
        }
        _sdk->notify();
        return;
    }
    if (!param.isMember("status") || !param["status"].isInt()) {
        fail();
        if (_sdk->_cb.load() != nullptr) {
            speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                         "AudioTask::handle json (status) faild [logid:%u]", logid);
        }
        _sdk->notify();
        return;
    }

    const int s = param["status"].asInt();
    ASRResultM result;
    const std::string content = fill_result(root, s, result);
    if (_sdk->_cb.load() != nullptr) {
        const timeval begin = _sdk->_createSessionBegin.load();
        result.set_tc(tc());
        result.set_offset(sub_timeval_ms(begin, _sdk->_vadBegin.load()),
                          sub_timeval_ms(begin, _sdk->_audioTimeEnd.load()));
        _sdk->deliver_event(result);
    }
    log_status(kUnit, s, content);

    if (s == 3) {
        _sdk->notify();
    } else {
        continue_session(_sdk);
    }
}

}  // namespace vela
