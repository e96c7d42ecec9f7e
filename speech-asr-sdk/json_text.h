// Compact JSON text of a Json::Value: no whitespace, object members in
// ascending byte order of their keys, strings escaped minimally (UTF-8 and
// every byte from 0x7F up copied unchanged, the solidus not escaped,
// control bytes without a short form as \u00XX with upper-case hex digits) and
// doubles in the shortest form that reads back to the same value.
#ifndef SPEECH_ASR_SDK_JSON_TEXT_H
#define SPEECH_ASR_SDK_JSON_TEXT_H

#include <json/value.h>

#include <cstddef>
#include <string>

namespace vela {

// Appends the compact text of `value` to `out`.
void append_json(std::string& out, const Json::Value& value);

// The compact text of `value`.
std::string to_json(const Json::Value& value);

// The compact text of `value` followed by one line feed.
std::string to_json_line(const Json::Value& value);

// Appends the bytes [data, data + size) as a quoted, escaped JSON string.
void append_json_string(std::string& out, const char* data, std::size_t size);

}  // namespace vela

#endif  // SPEECH_ASR_SDK_JSON_TEXT_H
