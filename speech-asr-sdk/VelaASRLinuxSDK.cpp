#include "speech-asr-sdk/VelaASRLinuxSDK.h"

#include <json/json.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <limits>
#include <new>
#include <utility>

#include "speech-asr-sdk/AudioTask.h"
#include "speech-util/curlreq/curlreq.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/task_runner.h"
#include "vad/MFE.h"
#include "vad/MFESessionSettings.h"

#ifndef VELA_ASR_SERVER_URL_DEFAULT
#define VELA_ASR_SERVER_URL_DEFAULT "http://127.0.0.1:8900/asr/v2"
#endif

namespace vela {

using speech::util::CurlForm;
using speech::util::CurlReqPtr;
using speech::util::CurlRequest;
using speech::util::RecMutexLock;

namespace {

const char kUnit[] = "VelaASRLinuxSDK";

// Build of record.
const char kBuildTime[] = "2019-04-24 11:53:20";
const char kVersion[] = "1.0";
const char kGitVersion[] = "045cd6";

// Application identities by rate.
const char kAppName8k[] = "com.vela.speech.kestrel";
const int kAppPid8k = 37001;
const char kAppNameOther[] = "com.vela.speech.marlow";
const int kAppPidOther = 37011;

const int kDefaultInstanceCount = 100;
const int kUploadChannel = 1000;
const int kFetchChannel = 2000;

// Audio path.
const size_t kChunkBytes = 3200;          // a regular chunk; any other size is the final one
const size_t kOutBytesPerChunkByte = 10;  // front-end output buffer per chunk byte ...
const size_t kMinOutBytes = 32000;        // ... and never less than this
const int kOutCapacity = 32000;           // capacity declared to the front end
const size_t kMinLastPacket = 100;        // a last packet carries at least this many bytes
const int kUploadType = 0;

const size_t kReplyBufLen = 0x100000;
const int kTimeoutSeconds = 1000;
const char kSessionBody[] = R"({"devid":"asrclient-test","pfm":"centos6.7","ver":"vert","gender_recog":"1"})";

unsigned logidOf(uint64_t logid) { return static_cast<unsigned>(logid); }

// float to int without undefined behaviour for values out of range.
int toInt(float v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<float>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (v <= static_cast<float>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

}  // namespace

// ----------------------------------------------------------------- helpers

float sub_timeval_ms(const timeval& t1, const timeval& t2) {
    return static_cast<float>(static_cast<double>(t2.tv_sec - t1.tv_sec) * 1000.0 +
                              static_cast<double>(t2.tv_usec - t1.tv_usec) / 1000.0);
}

void AtomicTimeval::stamp() {
    timeval now;
    gettimeofday(&now, nullptr);
    store(now);
}

void AtomicTimeval::store(const timeval& tv) {
    usec_.store(static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec, std::memory_order_relaxed);
}

timeval AtomicTimeval::load() const {
    const int64_t us = usec_.load(std::memory_order_relaxed);
    timeval tv;
    tv.tv_sec = static_cast<time_t>(us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
    return tv;
}

// ----------------------------------------------------------- static members

int VelaASRLinuxSDK::_default_instance_count = 0;
std::deque<VelaASRLinuxSDK*> VelaASRLinuxSDK::_sdk;
speech::util::RecMutex VelaASRLinuxSDK::_mutex;
std::string VelaASRLinuxSDK::_log_dir;
std::string VelaASRLinuxSDK::_log_file;
int VelaASRLinuxSDK::_log_level = 0;
int VelaASRLinuxSDK::_init = 0;
std::atomic<int> VelaASRLinuxSDK::err_no{0};
std::string VelaASRLinuxSDK::_server_url = VELA_ASR_SERVER_URL_DEFAULT;

// -------------------------------------------------------- process-wide API

int VelaASRLinuxSDK::init_env(const std::string& log_path, const std::string& log_file, int log_level) {
    {
        RecMutexLock::Lock lock(_mutex);
        _init = 1;
        _log_dir = log_path;
        _log_file = log_file;
        _log_level = log_level;
        _default_instance_count = kDefaultInstanceCount;
        const char* url = std::getenv("VELA_ASR_SERVER_URL");
        if (url != nullptr && url[0] != '\0') _server_url = url;
    }

    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);

    glog2speech_init(log_level, log_file.c_str(), log_path.c_str(), log_file.c_str(), 0);

    speech::util::TaskRunner* runner = speech::util::Singleton<speech::util::TaskRunner>::instance();
    runner->threadPoolConfig(kUploadChannel, std::make_pair(4, 8));
    runner->threadPoolConfig(kFetchChannel, std::make_pair(2, 4));
    return 0;
}

VelaASRLinuxSDK* VelaASRLinuxSDK::getInstance(int rate, int vad_on, int bv_on, std::string& err_msg) {
    RecMutexLock::Lock lock(_mutex);
    err_no = 0;
    scan_pool(true);

    if (_sdk.size() < static_cast<size_t>(std::max(_default_instance_count, 0))) {
        VelaASRLinuxSDK* inst = new (std::nothrow) VelaASRLinuxSDK(rate, vad_on, bv_on);
        speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                     "VelaASRLinuxSDK::VelaASRLinuxSDK new intance size:%d",
                                     static_cast<int>(_sdk.size()));
        if (inst == nullptr) {
            err_msg = "mem faid";
            err_no = 1;
            return nullptr;
        }
        if (inst->_err_no != 0) {
            std::cout << inst->_err_msg << std::endl;
            err_msg = inst->_err_msg;
            err_no = 2;
            discard_failed(inst);
            return nullptr;
        }
        _sdk.push_back(inst);
        err_msg = "succ";
        return inst;
    }

    err_msg = "instance exceed ";
    err_no = 4;
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "VelaASRLinuxSDK::VelaASRLinuxSDK instance exceed:%d",
                                 static_cast<int>(_sdk.size()));
    return nullptr;
}

void VelaASRLinuxSDK::clean_resource(bool /*force*/) {
    RecMutexLock::Lock lock(_mutex);
    scan_pool(false);
}

std::string VelaASRLinuxSDK::get_sdk_version() {
    return std::string("BuildTime:") + kBuildTime + ",Version:" + kVersion + ",GitVersion:" + kGitVersion;
}

void VelaASRLinuxSDK::scan_pool(bool log) {
    bool restart = true;
    while (restart) {
        restart = false;
        for (auto it = _sdk.begin(); it != _sdk.end(); ++it) {
            VelaASRLinuxSDK* inst = *it;
            if (inst == nullptr) {
                _sdk.erase(it);
                restart = true;
                break;
            }
            inst->_s_mutex.lock();
            const int num = inst->concurrency_counter.get();
            if (log) {
                speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                             "VelaASRLinuxSDK::VelaASRLinuxSDK every instance  "
                                             "[status:%d][time:%d][num:%d]",
                                             static_cast<int>(inst->status.load()),
                                             static_cast<int>(inst->getTimeCost()), num);
            }
            if (inst->status.load() == ST_FINISH && num <= 0 && inst->holders() == 0) {
                if (log) {
                    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                                 "VelaASRLinuxSDK::VelaASRLinuxSDK release "
                                                 "[status:%d][time:%d][num:%d]",
                                                 static_cast<int>(inst->status.load()),
                                                 static_cast<int>(inst->getTimeCost()), num);
                }
                inst->_s_mutex.unlock();
                delete inst;
                _sdk.erase(it);
                restart = true;
                break;
            }
            inst->_s_mutex.unlock();
        }
    }
}

void VelaASRLinuxSDK::discard_failed(VelaASRLinuxSDK* inst) {
    // A failed instance has no session, or a pull thread that could not be
    // detached; finish it, wait for that thread, and free it.
    inst->notify();
    if (inst->_pull_joinable) {
        pthread_join(inst->_pull_thread, nullptr);
        inst->_pull_joinable = false;
    }
    delete inst;
}

// ---------------------------------------------------------------- instance

VelaASRLinuxSDK::VelaASRLinuxSDK(int rate, int vad_on, int bv_on)
    : _vad_on(vad_on), _bv_on(bv_on), _rate(rate) {
    _last_audio_push.stamp();
    // Scans log the time since the last operation; before the first post that
    // is the time since construction.
    _last_op.stamp();
    pthread_mutex_init(&_lock, nullptr);
    pthread_cond_init(&_cond, nullptr);
    _base_url = _server_url;

    if (_rate == 8) {
        _app_name = kAppName8k;
        _app_pid = kAppPid8k;
    } else {
        _app_name = kAppNameOther;
        _app_pid = kAppPidOther;
    }

    timeval now;
    gettimeofday(&now, nullptr);
    const uint32_t usec = static_cast<uint32_t>(now.tv_sec) * 1000000u + static_cast<uint32_t>(now.tv_usec);
    _logid = static_cast<uint32_t>(static_cast<uint32_t>(rand()) ^ usec);

    _err_no = create_session();
    if (_err_no != 0) {
        _err_msg = "create session  failure";
        return;
    }

    _alg = new (std::nothrow) CMFE();
    _err_no = initVad();

    hold();  // for the pull thread, released when it leaves fetch_result
    pthread_t tid;
    _err_no = pthread_create(&tid, nullptr, &VelaASRLinuxSDK::fetch_result, this);
    if (_err_no != 0) {
        release();
        _err_msg = "create pull thread failure";
        return;
    }
    _err_no = pthread_detach(tid);
    if (_err_no != 0) {
        _pull_thread = tid;
        _pull_joinable = true;
        _err_msg = "detach pull thread error";
        return;
    }
    _isLast = 0;
    _last_pkg_size = 0;
    _idx = 0;
}

VelaASRLinuxSDK::~VelaASRLinuxSDK() {
    notify();
    if (_alg != nullptr) {
        _alg->mfeExit();
        delete _alg;
        _alg = nullptr;
    }
    pthread_cond_destroy(&_cond);
    pthread_mutex_destroy(&_lock);
}

void VelaASRLinuxSDK::notify() {
    status.store(ST_FINISH);
    concurrency_counter.decrementAndGet();
    pthread_mutex_lock(&_lock);
    pthread_cond_signal(&_cond);
    pthread_mutex_unlock(&_lock);
}

void VelaASRLinuxSDK::wake_pull_thread() {
    pthread_mutex_lock(&_lock);
    ++_wakeups;
    pthread_cond_signal(&_cond);
    pthread_mutex_unlock(&_lock);
}

void VelaASRLinuxSDK::fetch_ended() {
    pthread_mutex_lock(&_lock);
    _fetch_in_flight = false;
    pthread_cond_signal(&_cond);
    pthread_mutex_unlock(&_lock);
}

void VelaASRLinuxSDK::update_op() { _last_op.stamp(); }

uint64_t VelaASRLinuxSDK::getTimeCost() {
    timeval now;
    gettimeofday(&now, nullptr);
    const float ms = sub_timeval_ms(_last_op.load(), now);
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__, "VelaASRLinuxSDK::getTimeCost:%d",
                                 toInt(ms));
    return ms > 0.0f ? static_cast<uint64_t>(ms) : 0;
}

// -------------------------------------------------------- listener and post

void VelaASRLinuxSDK::set_event_listener(event_callback cb, void* arg) {
    if (cb == nullptr || arg == nullptr) return;
    _cb.store(cb);
    std::cout << "arg" << arg << std::endl;
    std::memset(_user_arg_buf, 0, sizeof(_user_arg_buf));
    const char* text = static_cast<const char*>(arg);
    std::memcpy(_user_arg_buf, text, strnlen(text, sizeof(_user_arg_buf) - 1));
}

void VelaASRLinuxSDK::deliver_event(ASRResultM& result) {
    event_callback cb = _cb.load();
    if (cb != nullptr) cb(result, _user_arg_buf);
}

int VelaASRLinuxSDK::post(VelaASRMessage& msg, std::string& err_msg) {
    Holder busy(this);
    if (_isLast == 1) {
        err_msg = "succ";
        return 0;
    }
    if (status.load() == ST_FINISH) {
        err_msg = "asr end";
        return 7;
    }
    switch (msg.name) {
        case VELA_ASR_CMD_START: {
            // A session that finished meanwhile stays finished.
            status_t s = status.load();
            while (s != ST_FINISH && !status.compare_exchange_weak(s, ST_RUNNING)) {
            }
            update_op();
            err_msg = "succ";
            return 0;
        }
        case VELA_ASR_CMD_PUSH_AUDIO:
        case VELA_ASR_CMD_STOP: {
            if (status.load() == ST_INIT) {
                _createSessionBegin.stamp();
                status_t expected = ST_INIT;
                status.compare_exchange_strong(expected, ST_RUNNING);
            }
            boost::shared_array<char> chunk = msg._buf;
            _err_no = push_audio(chunk, msg._size, err_msg);
            _last_audio_push.stamp();
            if (_isLast == 1 || msg.name == VELA_ASR_CMD_STOP) wake_pull_thread();
            update_op();
            return _err_no;
        }
        case VELA_ASR_CMD_CANCEL:
            update_op();
            err_msg = "succ";
            return 0;
        case VELA_ASR_CMD_CONFIG:
        default:
            err_msg = "succ";
            return 0;
    }
}

// ------------------------------------------------------- server protocol

std::string VelaASRLinuxSDK::session_url() const {
    return _base_url + "?pid=" + std::to_string(_app_pid) + "&appname=" + _app_name +
           "&idx=0&rate=" + std::to_string(_rate);
}

std::string VelaASRLinuxSDK::upload_url(int idx) const {
    return _base_url + "?pid=" + std::to_string(_app_pid) + "&appname=" + _app_name +
           "&idx=" + std::to_string(idx) + "&sid=" + _sid + "&rate=" + std::to_string(_rate);
}

std::string VelaASRLinuxSDK::fetch_url() const {
    return _base_url + "?pid=" + std::to_string(_app_pid) + "&appname=" + _app_name + "&sid=" + _sid +
           "&rate=" + std::to_string(_rate);
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
    CurlReqPtr req(new CurlRequest(kReplyBufLen, kTimeoutSeconds, kTimeoutSeconds));

    int ret;
    {
        CurlForm form;
        if (form.addContent("create-session", kSessionBody, sizeof(kSessionBody) - 1, "text/json")) {
            form.attach(req->getCurl());
        }
        ret = req->doPost(url.c_str(), nullptr);
    }
    if (ret != 0) {
        _err_msg = req->getErrMsg();
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
        return 3;
    }
    // Members are looked up only in objects: the library refuses (throws) a
    // member lookup in an array or a scalar.
    const bool ok = root.isObject() && root.isMember("asr_param") && root["asr_param"].isObject() &&
                    root["asr_param"].isMember("err_no") && root["asr_param"]["err_no"].isInt() &&
                    root["asr_param"]["err_no"].asInt() == 0 && root["asr_param"].isMember("sid") &&
                    root["asr_param"]["sid"].isString();
    if (!ok) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "create seesion  or json  faild [logid:%u]", logid);
        return 3;
    }
    _sid = root["asr_param"]["sid"].asString();
    return 0;
}

// ------------------------------------------------------------- audio path

namespace {

int clampToInt(size_t n) { return static_cast<int>(std::min<size_t>(n, std::numeric_limits<int>::max())); }

// A zero-filled buffer: every byte that goes on the wire is defined.
boost::shared_array<char> zeroFiller() { return boost::shared_array<char>(new char[kMinLastPacket]()); }

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
    switch (d) {
        case RET_SILENCE: {
            ASRResultM event;
            event.set_parameter(VELA_ASR_SLIENT);
            deliver_event(event);
            break;
        }
        case RET_SILENCE_TO_SPEECH:
            speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                         "RET_SILENCE_TO_SPEECRET_SILENCE [logid:%u]", logid);
            _vadBegin.stamp();
            break;
        case RET_SPEECH_TO_SILENCE: {
            _audioTimeEnd.stamp();
            ASRResultM event;
            event.set_parameter(VELA_ASR_PROCESS_BLOCK);
            deliver_event(event);
            end_fetch = true;
            break;
        }
        case RET_SPEECH_TOO_LONG: {
            ASRResultM too_long;
            too_long.set_parameter(VELA_ASR_TOO_LONG);
            deliver_event(too_long);
            _audioTimeEnd.stamp();
            ASRResultM block;
            block.set_parameter(VELA_ASR_PROCESS_BLOCK);
            deliver_event(block);
            end_fetch = true;
            break;
        }
        case RET_NO_SPEECH: {
            speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                         "sendVad  VAD检测：没有说话 code: %d  logid:%u", d, logid);
            ASRResultM event;
            event.set_parameter(VELA_ASR_NO_SPEAK);
            deliver_event(event);
            return -1;
        }
        case RET_SPEECH_TOO_SHORT: {
            speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                         "sendVad  VAD检测: 说的太短 code: %d  logid:%u", d, logid);
            ASRResultM event;
            event.set_parameter(VELA_ASR_SPEAK_SHORT);
            deliver_event(event);
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
        runner->execute(new AudioTask(kUploadChannel, this, zeroFiller(), url, kMinLastPacket, _logid,
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
            if (_last_pkg_size < kMinLastPacket) {
                std::memset(out.get() + _last_pkg_size, 0, kMinLastPacket - _last_pkg_size);
            }
            len = std::max(_last_pkg_size, kMinLastPacket);
            vad_len = clampToInt(len);
        } else if (len < kMinLastPacket) {
            payload = zeroFiller();
            len = kMinLastPacket;
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

// ------------------------------------------------------------ pull loop

void* VelaASRLinuxSDK::fetch_result(void* arg) {
    VelaASRLinuxSDK* sdk = static_cast<VelaASRLinuxSDK*>(arg);
    sdk->pull_loop();
    sdk->release();  // the last touch: the instance may be freed from here on
    return nullptr;
}

void VelaASRLinuxSDK::pull_loop() {
    // First wait: up to 2 s of wall-clock time for the session to start,
    // ended early by a wake-up or by the end of the session.
    timeval now;
    gettimeofday(&now, nullptr);
    timespec deadline;
    deadline.tv_sec = now.tv_sec + 2;
    deadline.tv_nsec = static_cast<long>(now.tv_usec) * 1000;
    pthread_mutex_lock(&_lock);
    while (_wakeups == 0 && status.load() != ST_FINISH) {
        // A time-out or any failure ends the wait; only a spurious wake-up
        // waits again.
        if (pthread_cond_timedwait(&_cond, &_lock, &deadline) != 0) break;
    }
    const status_t first = status.load();
    const bool started = first == ST_RUNNING || first == ST_FETCH;
    if (started) _fetch_in_flight = true;
    pthread_mutex_unlock(&_lock);
    if (!started) return;
    issue_fetch();

    // One fetch at a time: the next one once the previous task has ended and
    // its reply has let the session go on.
    for (;;) {
        pthread_mutex_lock(&_lock);
        while (status.load() != ST_FINISH && (_fetch_in_flight || status.load() != ST_RUNNING)) {
            pthread_cond_wait(&_cond, &_lock);
        }
        const bool finished = status.load() == ST_FINISH;
        if (!finished) _fetch_in_flight = true;
        pthread_mutex_unlock(&_lock);
        if (finished) return;
        issue_fetch();
    }
}

void VelaASRLinuxSDK::issue_fetch() {
    const std::string url = fetch_url();
    concurrency_counter.incrementAndGet();
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "VelaASRLinuxSDK::fetch_result url:%s logid:%u", url.c_str(),
                                 logidOf(_logid));
    AudioTask* task = new AudioTask(kFetchChannel, this, boost::shared_array<char>(), url, 0, _logid, 1, -1);
    task->report_to_pull_loop();
    speech::util::Singleton<speech::util::TaskRunner>::instance()->execute(task);
}

}  // namespace vela
