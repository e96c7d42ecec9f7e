// Set-up, the instance pool, the construction of an instance and the end of
// its session.
#include "speech-asr-sdk/VelaASRLinuxSDK.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "speech-asr-sdk/VelaASRInternal.h"
#include "speech-util/glog2speech/glog2speech.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/task_runner.h"
#include "vad/MFE.h"

#ifndef VELA_ASR_SERVER_URL_DEFAULT
#define VELA_ASR_SERVER_URL_DEFAULT "http://127.0.0.1:8900/asr/v2"
#endif

namespace vela {

using speech::util::RecMutexLock;

namespace {

const char* const kUnit = kSdkLogUnit;

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

// Accepted values of the wait limits in the environment, in milliseconds.
const long kMaxWaitMs = 24L * 3600 * 1000;

// float to int without undefined behaviour for values out of range.
int toInt(float v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<float>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (v <= static_cast<float>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(v);
}

// One wait limit from the environment variable `name`: a decimal number of
// milliseconds from `least` to a day. Anything else keeps `*value` and is
// noted in `rejected` for the log.
void limitFromEnvironment(const char* name, long least, long* value, std::vector<std::string>* rejected) {
    const char* text = std::getenv(name);
    if (text == nullptr || text[0] == '\0') return;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < least || v > kMaxWaitMs) {
        rejected->push_back(std::string(name) + "=" + text);
        return;
    }
    *value = v;
}

// Notes of the latest read_environment(), logged once logging runs.
std::vector<std::string> g_rejected_settings;

}  // namespace

// ----------------------------------------------------------------- helpers

float sub_timeval_ms(const timeval& t1, const timeval& t2) {
    return static_cast<float>(static_cast<double>(t2.tv_sec - t1.tv_sec) * 1000.0 +
                              static_cast<double>(t2.tv_usec - t1.tv_usec) / 1000.0);
}

int64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
WaitLimits VelaASRLinuxSDK::_wait_limits;
int VelaASRLinuxSDK::_reserved = 0;

// -------------------------------------------------------- process-wide API

int VelaASRLinuxSDK::init_env(const std::string& log_path, const std::string& log_file, int log_level) {
    {
        RecMutexLock::Lock lock(_mutex);
        _init = 1;
        _log_dir = log_path;
        _log_file = log_file;
        _log_level = log_level;
        _default_instance_count = kDefaultInstanceCount;
        read_environment();
    }

    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);

    if (prepare_log_dir(log_path)) {
        glog2speech_init(log_level, log_file.c_str(), log_path.c_str(), log_file.c_str(), 0);
    } else {
        speech::glog2speech_shutdown();  // nor the folder of an earlier call
    }

    speech::util::TaskRunner* runner = speech::util::Singleton<speech::util::TaskRunner>::instance();
    runner->threadPoolConfig(kUploadChannel, std::make_pair(4, 8));
    runner->threadPoolConfig(kFetchChannel, std::make_pair(2, 4));

    RecMutexLock::Lock lock(_mutex);
    for (const std::string& rejected : g_rejected_settings) {
        speech::glog2speech_writelog(speech::GLOG_WARNING, kUnit, __LINE__,
                                     "VelaASRLinuxSDK::init_env ignored %s: not a number of milliseconds "
                                     "in range",
                                     rejected.c_str());
    }
    speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                 "VelaASRLinuxSDK::init_env [url:%s][connect_timeout_ms:%ld][timeout_ms:%ld]"
                                 "[result_timeout_ms:%ld][fetch_interval_ms:%ld]",
                                 _server_url.c_str(), _wait_limits.connect_ms, _wait_limits.exchange_ms,
                                 _wait_limits.result_ms, _wait_limits.fetch_interval_ms);
    return 0;
}

void VelaASRLinuxSDK::read_environment() {
    const char* url = std::getenv("VELA_ASR_SERVER_URL");
    if (url != nullptr && url[0] != '\0') _server_url = url;
    WaitLimits limits;
    g_rejected_settings.clear();
    limitFromEnvironment("VELA_ASR_CONNECT_TIMEOUT_MS", 1, &limits.connect_ms, &g_rejected_settings);
    limitFromEnvironment("VELA_ASR_TIMEOUT_MS", 1, &limits.exchange_ms, &g_rejected_settings);
    limitFromEnvironment("VELA_ASR_RESULT_TIMEOUT_MS", 1, &limits.result_ms, &g_rejected_settings);
    limitFromEnvironment("VELA_ASR_FETCH_INTERVAL_MS", 0, &limits.fetch_interval_ms, &g_rejected_settings);
    _wait_limits = limits;
}

bool VelaASRLinuxSDK::prepare_log_dir(const std::string& dir) {
    if (dir.empty()) return true;  // the log files' names then start at the root, as given
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!ec && !std::filesystem::is_directory(dir, ec)) ec = std::make_error_code(std::errc::not_a_directory);
    if (!ec && access(dir.c_str(), W_OK | X_OK) != 0) ec = std::error_code(errno, std::generic_category());
    if (!ec) return true;
    std::fprintf(stderr, "VelaASRLinuxSDK::init_env cannot use the log folder '%s' (%s); logging is off\n",
                 dir.c_str(), ec.message().c_str());
    return false;
}

VelaASRLinuxSDK* VelaASRLinuxSDK::getInstance(int rate, int vad_on, int bv_on, std::string& err_msg) {
    {
        RecMutexLock::Lock lock(_mutex);
        err_no = 0;
        scan_pool(true);
        if (slots_in_use() >= static_cast<size_t>(std::max(_default_instance_count, 0))) {
            err_msg = "instance exceed ";
            err_no = 4;
            speech::glog2speech_writelog(speech::GLOG_NOTICE, kUnit, __LINE__,
                                         "VelaASRLinuxSDK::VelaASRLinuxSDK instance exceed:%d",
                                         static_cast<int>(_sdk.size()));
            return nullptr;
        }
        ++_reserved;  // this call's place, while the session is opened without the lock
    }

    VelaASRLinuxSDK* inst = new (std::nothrow) VelaASRLinuxSDK(rate, vad_on, bv_on);

    RecMutexLock::Lock lock(_mutex);
    --_reserved;
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

size_t VelaASRLinuxSDK::slots_in_use() {
    const auto held = std::count_if(_sdk.begin(), _sdk.end(), [](const VelaASRLinuxSDK* inst) {
        return inst != nullptr && inst->holds_slot();
    });
    return static_cast<size_t>(held) + static_cast<size_t>(_reserved);
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
    // Deadlines of the pull thread are on the monotonic clock.
    pthread_condattr_t cond_attr;
    pthread_condattr_init(&cond_attr);
    pthread_condattr_setclock(&cond_attr, CLOCK_MONOTONIC);
    pthread_cond_init(&_cond, &cond_attr);
    pthread_condattr_destroy(&cond_attr);
    {
        RecMutexLock::Lock lock(_mutex);  // only to read the settings init_env writes
        _base_url = _server_url;
        _limits = _wait_limits;
    }

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

bool VelaASRLinuxSDK::finish() { return status.exchange(ST_FINISH) != ST_FINISH; }

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

}  // namespace vela
