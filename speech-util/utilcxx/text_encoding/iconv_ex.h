// Text encoding conversion on iconv.
#ifndef SPEECH_UTIL_UTILCXX_TEXT_ENCODING_ICONV_EX_H
#define SPEECH_UTIL_UTILCXX_TEXT_ENCODING_ICONV_EX_H

#include <cstdint>

namespace speech {
namespace util {

// Converts the NUL-terminated UTF-8 text `src_str` to GBK in `des_str`.
//
// At most the first 2047 bytes of the input are converted and at most 2048
// bytes of GBK are produced; more output is lost. Bad UTF-8 sequences and
// characters GBK cannot represent are dropped one sequence at a time (length
// from the first byte) and the conversion goes on; a sequence cut off at the
// end of the input ends it. Each such event is logged at warning level.
//
// `des_str` receives the text zero-padded to `des_len` bytes. A text that does
// not fit is cut at a character boundary so that it is always terminated.
//
// Returns 0 when done (also after dropping input) and -1 when an argument is
// null or `des_len` is 0, or when iconv cannot be opened.
int utf8_to_gbk(const char* src_str, char* des_str, uint32_t des_len);

}  // namespace util
}  // namespace speech

#endif  // SPEECH_UTIL_UTILCXX_TEXT_ENCODING_ICONV_EX_H
