// The HTTP exchange of an AudioTask, shared by both variants of handle().
#include "speech-asr-sdk/AudioTask.h"
#include "speech-util/curlreq/curlreq.h"

namespace vela {

namespace {

const size_t kReplyBufLen = 0x100000;  // replies of up to 1 MiB
const int kTimeoutSeconds = 1000;

}  // namespace

int AudioTask::exchange(speech::util::CurlReqPtr& req) const {
    req.reset(new speech::util::CurlRequest(kReplyBufLen, kTimeoutSeconds, kTimeoutSeconds));
    if (_type != 0) return req->doGet(_url.c_str());
    speech::util::CurlForm form;           // refers to the packet bytes; freed after the request
    const size_t len = _post ? _size : 0;  // no packet, no bytes
    if (form.addBuffer("asr_audio", "", _post.get(), len, "audio/pcm")) form.attach(req->getCurl());
    return req->doPost(_url.c_str(), nullptr);
}

}  // namespace vela
