// UTF-8 to GBK conversion in two fixed stack areas, skipping bad input.
#include "speech-util/utilcxx/text_encoding/iconv_ex.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "speech-util/glog2speech/glog2speech.h"

namespace {

// Source unit named in log lines.
constexpr char kUnit[] = "text_encoding/iconv_ex";
// Size of the input and output areas; the input keeps room for its terminator.
constexpr size_t kAreaSize = 2048;

// Byte length of the UTF-8 sequence starting at `buf` (judged by its first
// byte), or -1 when `buf` is null, `len` is 0 or the sequence is longer than `len`.
int get_utf8_font_size(const char* buf, size_t len) {
    if (buf == nullptr || len == 0) return -1;
    const auto c = static_cast<unsigned char>(buf[0]);
    int size = 6;
    if (c < 0xC0) {
        size = 1;
    } else if (c < 0xE0) {
        size = 2;
    } else if (c < 0xF0) {
        size = 3;
    } else if (c < 0xF8) {
        size = 4;
    } else if (c < 0xFC) {
        size = 5;
    }
    return len >= static_cast<size_t>(size) ? size : -1;
}

// Length of the longest prefix of the GBK text `s` (`len` bytes) that is made of
// whole characters and is at most `limit` bytes long.
size_t gbk_whole_prefix(const char* s, size_t len, size_t limit) {
    size_t i = 0;
    while (i < len) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t step = (c >= 0x81 && c <= 0xFE) ? 2 : 1;  // lead byte of a pair
        if (i + step > limit) break;
        i += step;
    }
    return i;
}

const char* error_text(int err, char* buf, size_t size) { return strerror_r(err, buf, size); }

// Owns one iconv conversion descriptor.
class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    size_t convert(char** in, size_t* in_left, char** out, size_t* out_left) {
        return iconv(cd_, in, in_left, out, out_left);
    }

  private:
    iconv_t cd_;
};

}  // namespace

namespace speech {
namespace util {

int utf8_to_gbk(const char* src_str, char* des_str, uint32_t des_len) {
    char err_buf[128];
    if (src_str == nullptr || des_str == nullptr || des_len == 0) {
        glog2speech_writelog(GLOG_WARNING, kUnit, __LINE__, "[utf8_to_gbk] parameters are invalid");
        return -1;
    }
    Converter conv("GBK", "UTF-8");
    if (!conv.ok()) {
        const int err = errno;
        glog2speech_writelog(GLOG_WARNING, kUnit, __LINE__,
                             "[utf8_to_gbk][errcode=%d] call iconv_open failed: %s", err,
                             error_text(err, err_buf, sizeof(err_buf)));
        return -1;
    }

    char in_area[kAreaSize] = {};
    char out_area[kAreaSize] = {};
    const size_t in_len = strnlen(src_str, kAreaSize - 1);
    std::memcpy(in_area, src_str, in_len);

    char* in_ptr = in_area;
    size_t in_left = in_len;
    char* out_ptr = out_area;
    size_t out_left = kAreaSize;
    while (conv.convert(&in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) {
        const int err = errno;
        glog2speech_writelog(GLOG_WARNING, kUnit, __LINE__, "[utf8_to_gbk][errcode=%d] call iconv failed: %s",
                             err, error_text(err, err_buf, sizeof(err_buf)));
        if (err == E2BIG) break;  // output area full: the rest is lost
        const int n = get_utf8_font_size(in_ptr, in_left);
        if (n < 1) {
            glog2speech_writelog(GLOG_WARNING, kUnit, __LINE__,
                                 "[utf8_to_gbk] call get_utf8_font_size failed.");
            break;
        }
        // Drop the bad sequence and go on after it.
        in_ptr += n;
        in_left -= static_cast<size_t>(n);
        if (in_left == 0) break;
    }

    // The output holds whole GBK characters and no zero byte. Copy what fits
    // with a terminator and zero the rest of the destination.
    const size_t produced = kAreaSize - out_left;
    const size_t copied = produced < des_len ? produced : gbk_whole_prefix(out_area, produced, des_len - 1);
    std::memcpy(des_str, out_area, copied);
    std::memset(des_str + copied, 0, des_len - copied);
    return 0;
}

}  // namespace util
}  // namespace speech
