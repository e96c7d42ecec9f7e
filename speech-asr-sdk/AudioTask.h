// One HTTP exchange with the recognition server, run by the task runner: the
// upload of one audio packet (type 0) or one fetch of results (any other type).
#ifndef SPEECH_ASR_SDK_AUDIOTASK_H
#define SPEECH_ASR_SDK_AUDIOTASK_H

#include <boost/shared_array.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-util/utilcxx/thread_pool/task.h"

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
    ~AudioTask() override = default;

    void handle() override;

  private:
    VelaASRLinuxSDK* _sdk;
    boost::shared_array<char> _post;
    std::string _url;
    size_t _size;
    uint64_t _logid;
    int _type;
    int _idx;
    VelaASRLinuxSDK::Holder _hold;  // keeps the instance alive until the task is destroyed
};

}  // namespace vela

#endif  // SPEECH_ASR_SDK_AUDIOTASK_H
