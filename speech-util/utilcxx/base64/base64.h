// Base64 (standard alphabet, "=" padding) encoding and decoding.
#ifndef SPEECH_UTIL_UTILCXX_BASE64_BASE64_H
#define SPEECH_UTIL_UTILCXX_BASE64_BASE64_H

#include <string>

// Encodes `in_len` bytes with padding and without line breaks.
std::string base64_encode(unsigned char const* bytes_to_encode, unsigned int in_len);

// Decodes from the start of `encoded_string` up to the first "=" or the first
// character outside the alphabet; the rest is ignored and no error is
// reported. A final group of 2 or 3 characters gives 1 or 2 bytes, a single
// leftover character gives nothing.
std::string base64_decode(std::string const& encoded_string);

#endif  // SPEECH_UTIL_UTILCXX_BASE64_BASE64_H
