// One HTTP exchange with the recognition server, run by the task runner: the
// upload of one audio packet (type 0) or one fetch of results (any other type).
//
// handle() comes in two variants, each in its own source unit: AudioTask.cpp
// (library speechasr) and VelaASRPrivate.cpp (library speechasr_private). A
// program links exactly one of the two libraries.
#ifndef SPEECH_ASR_SDK_AUDIOTASK_H
#define SPEECH_ASR_SDK_AUDIOTASK_H

#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-util/utilcxx/thread_pool/task.h"

namespace speech {
namespace util {
class CurlRequest;
}
}  // namespace speech

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

  private:
    // Makes the task's HTTP client in `req` and runs the exchange: the upload
    // form for type 0, a GET otherwise. Returns the client's result (0 or -1).
    int exchange(boost::shared_ptr<speech::util::CurlRequest>& req) const;

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
