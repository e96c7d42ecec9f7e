#include "speech-asr-sdk/VelaASRMessage.h"

#include <json/value.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "speech-asr-sdk/json_text.h"

namespace vela {

namespace {

// Truncation toward zero; values outside the 32-bit range saturate and NaN
// becomes 0 instead of being undefined.
std::int32_t to_int32(float ms) {
    if (std::isnan(ms)) return 0;
    if (ms >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    if (ms <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(ms);
}

}  // namespace

void VelaASRMessage::set_parameter(Param_t type, const char* buf, int read_cnt) {
    if (type != VELA_DATA_CHUNK) return;
    if (read_cnt < 1 || buf == nullptr) {
        _buf.reset();
        _size = 0;
        return;
    }
    char* copy = new (std::nothrow) char[static_cast<size_t>(read_cnt)];
    if (copy == nullptr) {
        _buf.reset();
        _size = 0;
        return;
    }
    std::memcpy(copy, buf, static_cast<size_t>(read_cnt));
    _buf.reset(copy);
    _size = static_cast<size_t>(read_cnt);
}

void VelaASRMessage::set_parameter(Param_t, std::string) {}

void VelaASRMessage::set_parameter(Param_t, int) {}

void ASRResultM::get_asr_content(std::string& asr) const {
    Json::Value root(Json::objectValue);
    root["header"]["status"] = static_cast<int>(_p);
    Json::Value& payload = root["payload"];
    payload["asr_content"] = Json::Value(_ars_content.data(), _ars_content.data() + _ars_content.size());
    payload["begintime"] = to_int32(_begin);
    payload["endtime"] = to_int32(_end);
    asr = to_json_line(root);
}

}  // namespace vela
