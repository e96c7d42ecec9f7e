// The default exchange of an AudioTask: uploads are only logged; every fetch
// reply becomes one event for the listener and moves the instance's state.
#include "speech-asr-sdk/AudioTask.h"

#include <json/json.h>
#include <sys/time.h>

#include "speech-asr-sdk/json_text.h"
#include "speech-util/curlreq/curlreq.h"
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

    speech::util::CurlReqPtr req;
    const int ret = exchange(req);
    timeval received;
    gettimeofday(&received, nullptr);

    // Time from the last audio push to the end of this exchange.
    auto tc = [&] { return sub_timeval_ms(_sdk->_last_audio_push.load(), received); };
    auto fail = [&] {
        ASRResultM result;
        result.set_parameter(VELA_ASR_ERR);
        result.set_tc(tc());
        _sdk->deliver_event(result);
    };

    if (ret != 0) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "AudioTask::handle  [url:%s][logid:%u][err:%s][errno:%d]", _url.c_str(),
                                     logid, req->getErrMsg(), ret);
        if (fetch) {
            fail();
            _sdk->notify();
        }
        return;
    }

    boost::shared_array<char> data = req->getData();
    const char* body = data ? data.get() : "";
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "AudioTask::handle  [url:%s][logid:%u][post size:%d][idx:%d][buf:%s]",
                                 _url.c_str(), logid, static_cast<int>(_size), _idx, body);
    if (!fetch) return;

    Json::Value root;
    if (!VelaASRLinuxSDK::parse_reply(body, root)) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "AudioTask::handle parse json faild [logid:%u]", logid);
        fail();
        _sdk->notify();
        return;
    }

    // Members are looked up in objects only: the library throws on a member
    // lookup in an array or a scalar.
    const bool has_param = root.isObject() && root.isMember("asr_param") && root["asr_param"].isObject();
    const Json::Value& param = has_param ? root["asr_param"] : Json::Value::nullSingleton();
    if (!has_param || !param.isMember("err_no") || !param["err_no"].isInt() || param["err_no"].asInt() != 0) {
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
    const bool known = s == 2 || s == 3;
    std::string content;
    if (known) {
        const Json::Value& reply = root;
        content = to_json_line(reply["asr_content"]);  // "null" when absent
        result.set_parameter(s == 2 ? VELA_ASR_MIDDLE : VELA_ASR_FINISH);
        result.set_asr_content(content);
    } else {
        result.set_parameter(VELA_ASR_UNKNOWN);
    }
    if (_sdk->_cb.load() != nullptr) {
        const timeval begin = _sdk->_createSessionBegin.load();
        result.set_tc(tc());
        result.set_offset(sub_timeval_ms(begin, _sdk->_vadBegin.load()),
                          sub_timeval_ms(begin, _sdk->_audioTimeEnd.load()));
        _sdk->deliver_event(result);
    }
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "AudioTask::handle status :%d  [logid:%u][asr:%s]", s, logid,
                                 known ? content.c_str() : "unknown asr");
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "AudioTask::handle status :%d  [logid:%u]", s, logid);

    if (s == 3) {
        _sdk->notify();
    } else {
        continue_session(_sdk);
    }
}

}  // namespace vela
