// The default exchange of an AudioTask: uploads are only logged; every fetch
// reply becomes one event for the listener and moves the instance's state.
#include "speech-asr-sdk/AudioTask.h"

#include <json/json.h>
#include <sys/time.h>

#include "speech-asr-sdk/failure_cause.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "wire/vela_wire.h"

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

bool AudioTask::fail_session(VelaASRLinuxSDK* sdk, float tc) {
    if (!sdk->finish()) return false;
    ASRResultM result;
    result.set_parameter(VELA_ASR_ERR);
    result.set_tc(tc);
    sdk->deliver_event(result);
    sdk->notify();
    sdk->give_back_slot();
    return true;
}

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
    bool undelivered = false;
    const int ret = exchange(kUnit, body, &received, &undelivered);

    // Time from the last audio push to the end of this exchange.
    auto tc = [&] { return sub_timeval_ms(_sdk->_last_audio_push.load(), received); };
    // A failed fetch ends the session; when something else has ended it
    // already, the fetch still counts itself out.
    auto fail = [&] {
        if (!fail_session(_sdk, tc())) _sdk->notify();
    };

    if (!fetch) {
        // Without this packet the server can never finish the session.
        if (undelivered && _sdk != nullptr && fail_session(_sdk, tc())) {
            speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                         "AudioTask::handle upload of packet %d not delivered, session "
                                         "ended [logid:%u]",
                                         _idx, logid);
        }
        return;
    }
    if (ret != 0) {
        fail();
        return;
    }

    Json::Value root;
    if (!VelaASRLinuxSDK::parse_reply(body.get(), root)) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "AudioTask::handle parse json faild [logid:%u]", logid);
        note_failure(FailureKind::kReply, "the server's reply to a result fetch is not JSON");
        fail();
        return;
    }

    const Json::Value& param = reply_param(root);
    if (!param.isMember(wire::kErrNoKey) || !param[wire::kErrNoKey].isInt() ||
        param[wire::kErrNoKey].asInt() != wire::kOk) {
        if (_sdk->_cb.load() != nullptr) {
            speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                         "AudioTask::handle  or json  faild [logid:%u]", logid);
        }
        note_failure(FailureKind::kReply, "the server reported an error for the session (err_no not 0)");
        fail();
        return;
    }
    if (!param.isMember(wire::kStatusKey) || !param[wire::kStatusKey].isInt()) {
        if (_sdk->_cb.load() != nullptr) {
            speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                         "AudioTask::handle json (status) faild [logid:%u]", logid);
        }
        note_failure(FailureKind::kReply, "the server's reply to a result fetch has no status");
        fail();
        return;
    }

    const int s = param[wire::kStatusKey].asInt();
    ASRResultM result;
    const std::string content = fill_result(root, s, result);
    // The final result ends the session, unless something else (a failed
    // upload, the result deadline) has ended it meanwhile; other results
    // are delivered while the session runs.
    const bool deliver = s == wire::kStatusFinal ? _sdk->finish() : _sdk->status.load() != ST_FINISH;
    if (deliver && _sdk->_cb.load() != nullptr) {
        const timeval begin = _sdk->_createSessionBegin.load();
        // Offsets from the first push: speech starts where the front end
        // found it (else at the first push) and ends where it found the end
        // (else at the latest push).
        const timeval speech_begin = _sdk->_vadBegin.stamped() ? _sdk->_vadBegin.load() : begin;
        const timeval speech_end =
            _sdk->_audioTimeEnd.stamped() ? _sdk->_audioTimeEnd.load() : _sdk->_last_audio_push.load();
        result.set_tc(tc());
        result.set_offset(sub_timeval_ms(begin, speech_begin), sub_timeval_ms(begin, speech_end));
        _sdk->deliver_event(result);
    }
    log_status(kUnit, s, content);

    if (s == wire::kStatusFinal) {
        _sdk->notify();
        if (deliver) _sdk->give_back_slot();  // this reply ended the session
    } else {
        continue_session(_sdk);
    }
}

}  // namespace vela
