// One HTTP exchange with the recognition server, run by the task runner: the
// upload of one audio packet (type 0) or one fetch of results (any other type).
//
// handle() comes in two variants, each in its own source unit: AudioTask.cpp
// (library speechasr) and VelaASRPrivate.cpp (library speechasr_private). A
// program links exactly one of the two libraries.
#ifndef SPEECH_ASR_SDK_AUDIOTASK_H
#define SPEECH_ASR_SDK_AUDIOTASK_H

#include <sys/time.h>

#include <boost/shared_array.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-util/utilcxx/thread_pool/task.h"

namespace Json {
class Value;
}

namespace vela {

class AudioTask : public speech::util::Task {
  public:
    // The task holds `sdk` from construction to destruction (see the lifetime
    // notes in VelaASRLinuxSDK.h), so it must be created by code that holds it.
    AudioTask(int channel, VelaASRLinuxSDK* sdk, boost::shared_array<char> post, std::string url, size_t size,
              uint64_t logid, int type, int idx)
        : speech::util::Task(channel),
          _sdk(sdk),
          _post(std::move(post)),
          _url(std::move(url)),
          _size(size),
          _logid(logid),
          _type(type),
          _idx(idx),
          _hold(sdk) {}

    // A fetch issued by the pull loop tells the loop that it is over, whatever
    // handle() did; this runs before the hold on the instance ends.
    ~AudioTask() override {
        if (_reports_to_pull_loop && _sdk != nullptr) _sdk->fetch_ended();
    }
    AudioTask(const AudioTask&) = delete;
    AudioTask& operator=(const AudioTask&) = delete;

    void handle() override;

    // Set by the pull loop on the fetches it issues (see fetch_ended()).
    void report_to_pull_loop() { _reports_to_pull_loop = true; }

    // Ends the session of `sdk` as failed, unless it has ended already, and
    // then notifies the instance. Only the call that ends the session reports
    // it: AudioTask.cpp with one VELA_ASR_ERR result carrying `tc`, the
    // private variant only by its callers' log lines. Returns whether this
    // call ended the session; if not, it changed nothing.
    static bool fail_session(VelaASRLinuxSDK* sdk, float tc);

  private:
    // Pieces shared by both variants of handle(); `unit` names the variant's
    // source unit in the log lines.

    // Runs the exchange (the upload form for type 0, a GET otherwise) with a
    // fresh HTTP client, stamps `received` when it has ended and logs its
    // outcome. An upload that fails in transport or with an HTTP status of 500
    // or more is sent again, up to three times with a growing pause, unless
    // the session ends meanwhile (the server keeps packets by index, so a
    // packet may safely arrive twice). Returns the client's result (0 or -1);
    // on 0, `body` holds the NUL-terminated reply. `undelivered`, when given,
    // tells whether an upload failed in a way that resending could not mend.
    int exchange(const char* unit, boost::shared_array<char>& body, timeval* received,
                 bool* undelivered = nullptr) const;
    // The reply's "asr_param" when it is an object, else a null value (the
    // JSON library throws on member lookups in anything but an object).
    static const Json::Value& reply_param(const Json::Value& root);
    // Fills `result` for reply status `s`: MIDDLE (2) or FINISH (3) with the
    // re-serialised "asr_content", UNKNOWN otherwise. Returns the content.
    static std::string fill_result(const Json::Value& root, int s, ASRResultM& result);
    // The two status log lines that close a fetch.
    void log_status(const char* unit, int s, const std::string& content) const;

    VelaASRLinuxSDK* _sdk;
    boost::shared_array<char> _post;
    std::string _url;
    size_t _size;
    uint64_t _logid;
    int _type;
    int _idx;
    VelaASRLinuxSDK::Holder _hold;  // keeps the instance alive until the task is destroyed
    bool _reports_to_pull_loop = false;
};

}  // namespace vela

#endif  // SPEECH_ASR_SDK_AUDIOTASK_H
