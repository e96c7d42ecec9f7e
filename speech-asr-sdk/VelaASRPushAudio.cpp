// The audio push pipeline: each chunk an application posts runs through the
// front end on the posting thread; its verdicts become events, its output
// becomes numbered packets, and each packet an upload task on the runner.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "speech-asr-sdk/AudioTask.h"
#include "speech-asr-sdk/VelaASRInternal.h"
#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/task_runner.h"
#include "vad/MFE.h"
#include "vad/MFESessionSettings.h"
#include "wire/vela_wire.h"

namespace vela {

namespace {

const char* const kUnit = kSdkLogUnit;

// Audio path.
const size_t kChunkBytes = 3200;          // a regular chunk; any other size is the final one
const size_t kOutBytesPerChunkByte = 10;  // front-end output buffer per chunk byte ...
const size_t kMinOutBytes = 32000;        // ... and never less than this
const int kOutCapacity = 32000;           // capacity declared to the front end

int clampToInt(size_t n) { return static_cast<int>(std::min<size_t>(n, std::numeric_limits<int>::max())); }

// A zero-filled buffer: every byte that goes on the wire is defined.
boost::shared_array<char> zeroFiller() { return boost::shared_array<char>(new char[wire::kEndMarkerSize]()); }

// The front end's output buffer for a chunk of `size` bytes: 10 bytes per chunk
// byte and at least 32,000. The front end never writes more than the 32,000
// bytes it is told about, so a huge final chunk whose buffer cannot be had gets
// the minimum instead of failing.
boost::shared_array<char> outputBufferFor(size_t size) {
    size_t bytes = kMinOutBytes;
    if (size <= std::numeric_limits<size_t>::max() / kOutBytesPerChunkByte) {
        bytes = std::max(bytes, size * kOutBytesPerChunkByte);
    }
    char* out = new (std::nothrow) char[bytes];
    if (out == nullptr) out = new char[kMinOutBytes];
    return boost::shared_array<char>(out);
}

}  // namespace

int VelaASRLinuxSDK::initVad() {
    const unsigned logid = logidOf(_logid);
    if (_alg == nullptr) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "init vad faild [ret:%d][logid:%u]", -107, logid);
        return 5;
    }
    mfeApplySessionSettings(*_alg, _max_sp_duration, _vad_on, _bv_on, _rate == 16);
    const int ret = _alg->mfeInit();
    if (ret != 0) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "init vad faild [ret:%d][logid:%u]", ret, logid);
        return 5;
    }
    return 0;
}

int VelaASRLinuxSDK::sendVad(short* in_data, size_t len, char* vad_data, int& vad_len) {
    const unsigned logid = logidOf(_logid);
    if (in_data == nullptr || len == 0) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__, "invald params");
        return 7;
    }
    // Without a front end every push fails as it does after one was shut down.
    // A count beyond int is refused by the front end as too long.
    const int sent = _alg == nullptr ? -102 : _alg->mfeSendData(in_data, clampToInt(len));
    if (sent != 0) {
        if (_alg != nullptr) {
            if (sent == -108) {
                _alg->mfeReset();  // store full: start over, keep running
            } else {
                _alg->mfeExit();
            }
        }
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "sendVad failed error:%d logid:%u", sent, logid);
        return 5;
    }

    const int d = _alg->mfeDetect();
    bool end_fetch = false;
    // Voice-detector events reach the callback on the posting thread.
    auto signal = [this](Param_t event) {
        ASRResultM result;
        result.set_parameter(event);
        deliver_event(result);
    };
    switch (d) {
        case RET_SILENCE:
            signal(VELA_ASR_SLIENT);
            break;
        case RET_SILENCE_TO_SPEECH:
            speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                         "RET_SILENCE_TO_SPEECRET_SILENCE [logid:%u]", logid);
            // The start of speech counts once per session: without voice
            // detection the front end reports it on every chunk.
            if (!_vadBegin.stamped()) _vadBegin.stamp();
            break;
        case RET_SPEECH_TO_SILENCE:
            _audioTimeEnd.stamp();
            signal(VELA_ASR_PROCESS_BLOCK);
            end_fetch = true;
            break;
        case RET_SPEECH_TOO_LONG:
            signal(VELA_ASR_TOO_LONG);
            _audioTimeEnd.stamp();
            signal(VELA_ASR_PROCESS_BLOCK);
            end_fetch = true;
            break;
        case RET_NO_SPEECH: {
            speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                         "sendVad  VAD检测：没有说话 code: %d  logid:%u", d, logid);
            signal(VELA_ASR_NO_SPEAK);
            return -1;
        }
        case RET_SPEECH_TOO_SHORT: {
            speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                         "sendVad  VAD检测: 说的太短 code: %d  logid:%u", d, logid);
            signal(VELA_ASR_SPEAK_SHORT);
            return -1;
        }
        default:
            break;
    }

    if (end_fetch) {
        speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                     "sendVad  VAD检测：说话结束，或说话过长结束 code: %d  logid:%u", d,
                                     logid);
        const int n = _alg->mfeGetCallbackData(vad_data, kOutCapacity);
        speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                     "sendVad  last_pkg_size:%d  logid:%u", n, logid);
        _last_pkg_size = n < 0 ? 0 : static_cast<size_t>(n);
        vad_len = n;
        return -2;
    }

    const int n = _alg->mfeGetCallbackData(vad_data, kOutCapacity);
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "sendVad mfeGetCallbackData size: %d logid:%u", n, logid);
    if (n >= 1) {
        vad_len = n;
        return 0;
    }
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__, "sendVad no data size: %d logid:%u", n,
                                 logid);
    return -3;
}

int VelaASRLinuxSDK::push_audio(boost::shared_array<char> buf, size_t size, std::string& /*err_msg*/) {
    const unsigned logid = logidOf(_logid);
    speech::util::TaskRunner* runner = speech::util::Singleton<speech::util::TaskRunner>::instance();
    if (_vad_on == 0) _audioTimeEnd.stamp();
    // A message that claims bytes without carrying any is the end-of-audio
    // packet: nothing may be read from a missing buffer.
    if (!buf) size = 0;

    if (size == 0) {
        if (_isLast == 1) return 0;
        ++_idx;
        const std::string url = upload_url(-_idx);
        speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                     "VelaASRLinuxSDK::push_audio req:%s logid:%u", url.c_str(), logid);
        runner->execute(new AudioTask(kUploadChannel, this, zeroFiller(), url, wire::kEndMarkerSize, _logid,
                                      kUploadType, _idx));
        return 0;
    }
    if (_isLast == 1) return 0;

    int vad_len = 0;
    boost::shared_array<char> out = outputBufferFor(size);
    int ret = 0;
    const int s = sendVad(reinterpret_cast<short*>(buf.get()), size / 2, out.get(), vad_len);

    boost::shared_array<char> payload = out;
    size_t len = vad_len > 0 ? static_cast<size_t>(vad_len) : 0;
    if (s == -3 || s == -1) {
        speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                     "VelaASRLinuxSDK::push_audio sendVad is 0/3  req:%s logid:%u", "",
                                     logid);
        if (size == kChunkBytes) return 0;
        payload = buf;  // the final short chunk goes out as raw PCM
        len = size;
        vad_len = clampToInt(size);
        _isLast = 1;
    } else if (s == -2) {
        _isLast = 1;
        ret = 100;
    } else if (size != kChunkBytes) {
        payload = buf;
        len = size;
        vad_len = clampToInt(size);
        _isLast = 1;
    }

    ++_idx;
    const int index = _isLast == 1 ? -_idx : _idx;
    if (_isLast == 1) {
        speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                     "VelaASRLinuxSDK::push_audio logid:%u vad_len %d  _last_pkg_size %d",
                                     logid, vad_len, static_cast<int>(_last_pkg_size));
        if (ret == 100) {
            // The end-of-speech output, padded with zeros up to the minimum.
            if (_last_pkg_size < wire::kEndMarkerSize) {
                std::memset(out.get() + _last_pkg_size, 0, wire::kEndMarkerSize - _last_pkg_size);
            }
            len = std::max(_last_pkg_size, wire::kEndMarkerSize);
            vad_len = clampToInt(len);
        } else if (len < wire::kEndMarkerSize) {
            payload = zeroFiller();
            len = wire::kEndMarkerSize;
            vad_len = clampToInt(len);
        }
    }

    const std::string url = upload_url(index);
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "VelaASRLinuxSDK::push_audio req:%s logid:%u vad_len:%d", url.c_str(), logid,
                                 clampToInt(len));
    runner->execute(new AudioTask(kUploadChannel, this, payload, url, len, _logid, kUploadType, _idx));
    return ret;
}

}  // namespace vela
