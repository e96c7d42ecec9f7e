// Base64 with the RFC 4648 alphabet.
#include "speech-util/utilcxx/base64/base64.h"

#include <array>
#include <string_view>

namespace {

// A compile-time constant, so that it is usable during static initialisation too.
constexpr std::string_view base64_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// ASCII letters and digits, "+" and "/". Bytes above 0x7f never belong to the
// alphabet, whatever the locale's classification says.
bool is_base64(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// 6-bit value of an alphabet character.
unsigned char sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0' + 52);
    return c == '+' ? 62 : 63;
}

// Three bytes to four characters.
void encode_group(const std::array<unsigned char, 3>& in, std::array<char, 4>& out) {
    out[0] = base64_chars[in[0] >> 2];
    out[1] = base64_chars[((in[0] & 0x03) << 4) | (in[1] >> 4)];
    out[2] = base64_chars[((in[1] & 0x0f) << 2) | (in[2] >> 6)];
    out[3] = base64_chars[in[2] & 0x3f];
}

// Four 6-bit values to three bytes.
void decode_group(const std::array<unsigned char, 4>& in, std::array<char, 3>& out) {
    out[0] = static_cast<char>((in[0] << 2) | (in[1] >> 4));
    out[1] = static_cast<char>(((in[1] & 0x0f) << 4) | (in[2] >> 2));
    out[2] = static_cast<char>(((in[2] & 0x03) << 6) | in[3]);
}

}  // namespace

std::string base64_encode(unsigned char const* bytes_to_encode, unsigned int in_len) {
    std::string ret;
    if (bytes_to_encode == nullptr || in_len == 0) return ret;
    ret.reserve((static_cast<size_t>(in_len) + 2) / 3 * 4);

    std::array<unsigned char, 3> in{};
    std::array<char, 4> out{};
    unsigned int i = 0;
    for (; i + 3 <= in_len; i += 3) {
        in = {bytes_to_encode[i], bytes_to_encode[i + 1], bytes_to_encode[i + 2]};
        encode_group(in, out);
        ret.append(out.data(), out.size());
    }
    const unsigned int rest = in_len - i;
    if (rest > 0) {
        // Complete the group with zero bytes, keep rest + 1 characters, pad with "=".
        in = {bytes_to_encode[i], rest > 1 ? bytes_to_encode[i + 1] : static_cast<unsigned char>(0), 0};
        encode_group(in, out);
        ret.append(out.data(), rest + 1);
        ret.append(3 - rest, '=');
    }
    return ret;
}

std::string base64_decode(std::string const& encoded_string) {
    std::string ret;
    std::array<unsigned char, 4> in{};
    std::array<char, 3> out{};
    size_t count = 0;
    for (const char ch : encoded_string) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '=' || !is_base64(c)) break;
        in[count++] = sextet(c);
        if (count == 4) {
            decode_group(in, out);
            ret.append(out.data(), out.size());
            count = 0;
        }
    }
    if (count > 1) {
        // A final group of 2 or 3 characters carries 1 or 2 bytes.
        for (size_t j = count; j < 4; ++j) in[j] = 0;
        decode_group(in, out);
        ret.append(out.data(), count - 1);
    }
    return ret;
}
