#include "speech-asr-sdk/json_text.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace vela {

namespace {

template <typename Number>
void append_number(std::string& out, Number n) {
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, res.ptr);
}

void append_double(std::string& out, double d) {
    // JSON has no non-finite numbers; these are the texts the JSON library
    // itself writes and reads for them.
    if (std::isnan(d)) {
        out += "null";
        return;
    }
    if (std::isinf(d)) {
        out += d < 0 ? "-1e+9999" : "1e+9999";
        return;
    }
    char buf[64];
    // Shortest text that converts back to exactly `d`; locale-independent.
    auto res = std::to_chars(buf, buf + sizeof buf, d);
    std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));
    out += text;
    // Keep a real recognisable as one ("2.0", not "2").
    if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

}  // namespace

void append_json_string(std::string& out, const char* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.push_back('"');
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    // Includes NUL, which a JSON string can only carry escaped.
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

void append_json(std::string& out, const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            out += "null";
            break;
        case Json::intValue:
            append_number(out, value.asLargestInt());
            break;
        case Json::uintValue:
            append_number(out, value.asLargestUInt());
            break;
        case Json::realValue:
            append_double(out, value.asDouble());
            break;
        case Json::booleanValue:
            out += value.asBool() ? "true" : "false";
            break;
        case Json::stringValue: {
            const char* begin = nullptr;
            const char* end = nullptr;
            if (value.getString(&begin, &end)) {
                append_json_string(out, begin, static_cast<std::size_t>(end - begin));
            } else {
                out += "\"\"";
            }
            break;
        }
        case Json::arrayValue: {
            out.push_back('[');
            Json::ArrayIndex n = value.size();
            for (Json::ArrayIndex i = 0; i < n; ++i) {
                if (i > 0) out.push_back(',');
                append_json(out, value[i]);
            }
            out.push_back(']');
            break;
        }
        case Json::objectValue: {
            // Members are stored ordered by their key bytes.
            out.push_back('{');
            bool first = true;
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!first) out.push_back(',');
                first = false;
                char const* key_end = nullptr;
                char const* key = it.memberName(&key_end);
                append_json_string(out, key, static_cast<std::size_t>(key_end - key));
                out.push_back(':');
                append_json(out, *it);
            }
            out.push_back('}');
            break;
        }
    }
}

std::string to_json(const Json::Value& value) {
    std::string out;
    append_json(out, value);
    return out;
}

std::string to_json_line(const Json::Value& value) {
    std::string out;
    append_json(out, value);
    out.push_back('\n');
    return out;
}

}  // namespace vela
