// Constants that the units of the SDK share; not part of the public API.
#ifndef SPEECH_ASR_SDK_VELAASRINTERNAL_H
#define SPEECH_ASR_SDK_VELAASRINTERNAL_H

#include <cstddef>
#include <cstdint>

namespace vela {

// Source name in the log lines of the instance's own units.
constexpr char kSdkLogUnit[] = "VelaASRLinuxSDK";

// Task runner channels and task types.
constexpr int kUploadChannel = 1000;
constexpr int kFetchChannel = 2000;
constexpr int kUploadType = 0;
constexpr int kFetchType = 1;

// Replies of up to 1 MiB.
constexpr size_t kReplyBufLen = 0x100000;

// The log id as log lines print it.
inline unsigned logidOf(uint64_t logid) { return static_cast<unsigned>(logid); }

}  // namespace vela

#endif  // SPEECH_ASR_SDK_VELAASRINTERNAL_H
