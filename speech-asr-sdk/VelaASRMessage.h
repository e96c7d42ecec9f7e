// The public vocabulary of the recognition SDK: parameter keys and event
// codes, command kinds, session states, the command message an application
// posts and the result record its event callback receives.
#ifndef SPEECH_ASR_SDK_VELAASRMESSAGE_H
#define SPEECH_ASR_SDK_VELAASRMESSAGE_H

#include <boost/shared_array.hpp>
#include <cstddef>
#include <string>
#include <utility>

// The classes of this API that the shared library exports; it is built with
// hidden visibility, so everything else stays inside it.
#ifndef VELA_SDK_EXPORT
#define VELA_SDK_EXPORT __attribute__((visibility("default")))
#endif

namespace vela {

// One numbering for message keys, reserved status words and the event
// statuses that results carry. The values are fixed, gap included.
enum Param_t : int {
    VELA_COMMON_PARAM_KEY_DEBUG_LOG_LEVEL = 0,  // accepted and ignored
    VELA_COMMON_PARAM_KEY_API_KEY = 1,          // accepted and ignored
    VELA_COMMON_PARAM_KEY_ACCECC_KEY = 2,       // accepted and ignored
    VELA_ASR_PARAM_KEY_SAMPLE_RATE = 3,         // accepted and ignored
    VELA_ASR_PARAM_KEY_APP = 4,                 // accepted and ignored
    VELA_DATA_CHUNK = 5,                        // the audio chunk of a message
    CALLBACK_ASR_STATUS = 6,                    // reserved
    VELA_CALLBACK_ASR_RESULT = 7,               // reserved
    VelaASRStatusStartWorkIng = 8,              // reserved
    VelaASRStatusFlushData = 9,                 // reserved
    VelaASRStatusFinish = 10,                   // reserved
    VelaASRStatusLongSpeechEnd = 11,            // reserved
    VelaASRStatusError = 12,                    // reserved
    VelaASRStatusCancel = 13,                   // reserved
    VELA_ASR_SLIENT = 100,                      // event: the chunk just pushed is silence
    VELA_ASR_TOO_LONG = 101,                    // event: speech ran past the maximum duration
    VELA_ASR_PROCESS_BLOCK = 102,               // event: end of speech; the last packet is being sent
    VELA_ASR_NO_SPEAK = 103,                    // event: no speech found
    VELA_ASR_SPEAK_SHORT = 104,                 // event: speech too short
    VELA_ASR_MIDDLE = 105,                      // event: intermediate recognition text
    VELA_ASR_UNKNOWN = 106,                     // event: the server answered with an unknown status
    VELA_ASR_FINISH = 107,                      // event: final recognition text
    VELA_ASR_ERR = 108,                         // event: the exchange with the server failed
};

// Command kinds of a VelaASRMessage.
enum Msg_t : int {
    VELA_ASR_CMD_CONFIG = 0,
    VELA_ASR_CMD_START = 1,
    VELA_ASR_CMD_PUSH_AUDIO = 2,
    VELA_ASR_CMD_STOP = 3,
    VELA_ASR_CMD_CANCEL = 4,
};

// State of one recognition instance.
enum status_t : int {
    ST_INIT = 0,
    ST_RUNNING = 1,
    ST_FETCH = 2,
    ST_FINISH = 3,
};

class ASRResultM;

// The application's event listener. `result` lives only for the duration of
// the call; `arg` is the instance's own copy of the registered user argument.
// Called from the posting thread and from the SDK's worker threads.
typedef void (*event_callback)(ASRResultM& result, void* arg);

// One command for VelaASRLinuxSDK::post. Copies share the audio chunk.
class VELA_SDK_EXPORT VelaASRMessage {
  public:
    VelaASRMessage() = default;

    // VELA_DATA_CHUNK: replaces the chunk with a private copy of `read_cnt`
    // bytes from `buf`; a count below 1 leaves an empty chunk (`buf` unread).
    // Other keys: no effect.
    void set_parameter(Param_t type, const char* buf, int read_cnt);
    // Accepted for every key and ignored.
    void set_parameter(Param_t type, std::string value);
    void set_parameter(Param_t type, int value);

    Msg_t name = VELA_ASR_CMD_CONFIG;  // the command; set by the caller before posting
    std::string _log_level;            // unused
    std::string _api_key;              // unused
    std::string _accsss_key;           // unused
    boost::shared_array<char> _buf;    // the audio chunk, 16-bit little-endian PCM
    size_t _size = 0;                  // valid bytes in _buf
};

// One event for the application's callback.
class VELA_SDK_EXPORT ASRResultM {
  public:
    ASRResultM() = default;

    void set_parameter(Param_t p) { _p = p; }
    Param_t get_status() const { return _p; }
    void set_asr_content(std::string asr) { _ars_content = std::move(asr); }
    void set_offset(float begin, float end) {
        _begin = begin;
        _end = end;
    }
    void set_tc(float tc) { _tc = tc; }
    float get_tc() const { return _tc; }

    // Replaces `asr` with the result as one line of compact JSON:
    // {"header":{"status":S},"payload":{"asr_content":"T","begintime":B,"endtime":E}}
    // with the offsets truncated toward zero to 32-bit integers.
    void get_asr_content(std::string& asr) const;

  private:
    Param_t _p = VELA_ASR_UNKNOWN;
    std::string _ars_content;
    float _begin = 0.0f;  // milliseconds
    float _end = 0.0f;    // milliseconds
    float _tc = 0.0f;     // time cost, milliseconds
};

}  // namespace vela

#endif  // SPEECH_ASR_SDK_VELAASRMESSAGE_H
