// The listener and the commands an application posts to an instance.
#include <cstring>
#include <iostream>
#include <string>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"

namespace vela {

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
                // The pull thread may have given the session up meanwhile.
                if (!status.compare_exchange_strong(expected, ST_RUNNING) && expected == ST_FINISH) {
                    err_msg = "asr end";
                    return 7;
                }
            }
            boost::shared_array<char> chunk = msg._buf;
            _err_no = push_audio(chunk, msg._size, err_msg);
            _last_audio_push.stamp();
            if (_isLast == 1 || msg.name == VELA_ASR_CMD_STOP) last_packet_gone();
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

}  // namespace vela
