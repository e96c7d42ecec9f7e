// paced_stream.hpp: streams recorded audio through an open session the way a
// live source delivers it. Uses only the public C++ API (vela/asr.hpp); kept
// beside asr_stream.cpp so that this folder builds on its own when copied, and
// shared with the load generators under bench/.
#ifndef PACED_STREAM_HPP
#define PACED_STREAM_HPP

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vela/asr.hpp>

struct PacedStream {
    size_t step = 1600;  // samples per push
    int rate_khz = 16;   // the session's rate, which sets the duration of a step
    double speed = 1;    // 1: real time, 2: twice as fast, 0: as fast as possible
};

// How far streaming got; kept up to date as it goes, so it is valid also when
// a push throws.
struct Streamed {
    size_t samples = 0;                                // pushed
    std::chrono::steady_clock::time_point last_audio;  // when the last push returned
};

// Pushes `count` samples of 16-bit mono PCM through `session` in steps of
// `pace.step` samples, step k at k step durations (divided by the speed) after
// the start, then ends the audio (the SDK pads the tail). Stops pushing once
// `stop` is set: voice detection found the end of speech (the last audio has
// then gone with the push that found it), or the session has ended. The time
// to the final result is measured from `last_audio`: the application has then
// handed over all its audio. A failed push or finish throws vela::asr::Error.
inline void stream_paced(vela::asr::Session& session, const int16_t* pcm, size_t count,
                         const PacedStream& pace, const std::atomic<bool>& stop, Streamed& streamed) {
    using Clock = std::chrono::steady_clock;
    const double step_ms = static_cast<double>(pace.step) / pace.rate_khz;
    const Clock::time_point start = Clock::now();
    for (size_t k = 0, at = 0; at < count && !stop; ++k, at += pace.step) {
        if (pace.speed > 0) {
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(
                            static_cast<double>(k) * step_ms / pace.speed)));
        }
        const size_t n = std::min(pace.step, count - at);
        session.push(pcm + at, n);
        streamed.samples += n;
        streamed.last_audio = Clock::now();
    }
    session.finish();  // sends the padded tail and the end marker
}

#endif  // PACED_STREAM_HPP
