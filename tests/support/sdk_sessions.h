// Recognition sessions against the scripted loopback server, for the tests of
// either SDK variant: a fixture that answers every session creation with its
// own sid ("sid-1", "sid-2", ...), a listener that records every event, the
// log written since a point, and the draining of the instance pool.
#ifndef TESTS_SUPPORT_SDK_SESSIONS_H
#define TESTS_SUPPORT_SDK_SESSIONS_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/task_runner.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

namespace vela_test {

// One event as the listener saw it.
struct SdkEvent {
    std::string arg;  // the user argument text passed to the listener
    vela::Param_t status;
    std::string json;  // get_asr_content
    float tc;
};

// Every event of every instance, in the order of arrival.
class EventLog {
  public:
    static EventLog& get() {
        static EventLog log;
        return log;
    }
    static void listener(vela::ASRResultM& result, void* arg) {
        SdkEvent e{static_cast<const char*>(arg), result.get_status(), "", result.get_tc()};
        result.get_asr_content(e.json);
        EventLog& log = get();
        std::lock_guard<std::mutex> lock(log.mutex_);
        log.events_.push_back(std::move(e));
        log.cv_.notify_all();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }
    std::vector<SdkEvent> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // Blocks until `n` events have arrived (at most 20 s).
    bool waitFor(size_t n) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return events_.size() >= n; });
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<SdkEvent> events_;
};

// Polls `done` every millisecond for at most `seconds`.
inline bool eventually(const std::function<bool()>& done, int seconds = 20) {
    for (int i = 0; i < seconds * 1000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// Occurrences of `what` in `text`.
inline size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Hands a task to the runner, as the SDK does.
inline void runTask(speech::util::Task* task) {
    speech::util::Singleton<speech::util::TaskRunner>::instance()->execute(task);
}

inline size_t sdkPoolSize() {
    speech::util::RecMutexLock::Lock lock(vela::VelaASRLinuxSDK::_mutex);
    return vela::VelaASRLinuxSDK::_sdk.size();
}

// Finishes every pooled instance and frees them once nothing holds them.
inline bool drainSdkPool() {
    {
        speech::util::RecMutexLock::Lock lock(vela::VelaASRLinuxSDK::_mutex);
        for (vela::VelaASRLinuxSDK* inst : vela::VelaASRLinuxSDK::_sdk) {
            if (inst != nullptr && inst->status.load() != vela::ST_FINISH) inst->notify();
        }
    }
    return eventually([] {
        vela::VelaASRLinuxSDK::clean_resource(false);
        return sdkPoolSize() == 0;
    });
}

class SdkSessionTest : public ::testing::Test {
  protected:
    static std::string logDir() { return processTempDir() + "task_logs"; }
    static std::string logPath() { return logDir() + "/tasks.log.NOTICE"; }

    void SetUp() override {
        setenv("VELA_ASR_SERVER_URL", server_.url("/asr/v2").c_str(), 1);
        mkdir(logDir().c_str(), 0755);
        vela::VelaASRLinuxSDK::init_env(logDir(), "tasks.log", 1);
        server_.on(hasPart("create-session"), [this](const RecordedRequest&) {
            return Reply::json(R"({"asr_param":{"err_no":0,"sid":"sid-)" + std::to_string(++sessions_) +
                               R"("}})");
        });
        EventLog::get().clear();
    }
    void TearDown() override {
        EXPECT_TRUE(drainSdkPool()) << "instances still held after they finished";
        unsetenv("VELA_ASR_SERVER_URL");
    }

    // A new instance; with `arg` it has the recording listener.
    vela::VelaASRLinuxSDK* make(const char* arg = nullptr) {
        std::string err;
        vela::VelaASRLinuxSDK* inst = vela::VelaASRLinuxSDK::getInstance(8, 0, 0, err);
        EXPECT_EQ("succ", err);
        if (inst != nullptr && arg != nullptr)
            inst->set_event_listener(&EventLog::listener, const_cast<char*>(arg));
        return inst;
    }
    // Starts the session and ends the pull thread's first wait, as the post
    // of the last packet does.
    static void start(vela::VelaASRLinuxSDK* inst) {
        vela::VelaASRMessage msg;
        msg.name = vela::VELA_ASR_CMD_START;
        std::string err;
        inst->post(msg, err);
        inst->wake_pull_thread();
    }
    // Waits until the session is over and only `holders` hold the instance.
    static bool settled(const vela::VelaASRLinuxSDK* inst, int holders = 0) {
        return eventually(
            [&] { return inst->status.load() == vela::ST_FINISH && inst->holders() == holders; });
    }
    std::vector<RecordedRequest> gets() const {
        std::vector<RecordedRequest> out;
        for (const RecordedRequest& r : server_.requests()) {
            if (r.method == "GET") out.push_back(r);
        }
        return out;
    }

    // Log lines written from construction on.
    class LogTail {
      public:
        LogTail() : start_(size()) {}
        std::string text() const {
            std::ifstream in(logPath(), std::ios::binary);
            in.seekg(static_cast<std::streamoff>(start_));
            return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }

      private:
        static size_t size() {
            struct stat st;
            return stat(logPath().c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
        }
        size_t start_;
    };

    ScriptedHttpServer server_{32};
    std::atomic<int> sessions_{0};
};

}  // namespace vela_test

#endif  // TESTS_SUPPORT_SDK_SESSIONS_H
