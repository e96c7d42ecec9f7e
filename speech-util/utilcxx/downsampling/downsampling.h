// 16 kHz to 8 kHz conversion of 16-bit mono PCM.
#ifndef SPEECH_UTIL_UTILCXX_DOWNSAMPLING_DOWNSAMPLING_H
#define SPEECH_UTIL_UTILCXX_DOWNSAMPLING_DOWNSAMPLING_H

#include <cstddef>

// Low-pass filters `input_audio_16k` (19th-order Chebyshev type I, pass band up
// to 4000 Hz) and keeps every second sample.
//
// `input_audio_len` is the input size in bytes; only whole frames of 80 input
// samples are converted (an odd byte and a shorter remainder are ignored).
// `output_audio_len` receives the output size in bytes; the caller provides at
// least `input_audio_len` / 2 bytes of output. Every call starts with an empty
// filter history and leaves its first 19 input samples unfiltered, so each call
// is an independent conversion. Filtered values outside the 16-bit range keep
// their low 16 bits.
//
// Returns -1 (writing nothing, `output_audio_len` untouched) when a buffer is
// null or `input_audio_len` is 0, otherwise 0.
int down_sampling(short* input_audio_16k, short* output_audio_8k, size_t input_audio_len,
                  size_t& output_audio_len);

#endif  // SPEECH_UTIL_UTILCXX_DOWNSAMPLING_DOWNSAMPLING_H
