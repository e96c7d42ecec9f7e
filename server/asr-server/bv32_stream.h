// Streaming decoder of packed BV32 frames (20 bytes, 80 samples each) for the
// recognition server: frames may straddle packet boundaries, and frames known
// to be lost are concealed from the decoder's last good parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace asrserver {

class Bv32Stream {
  public:
    static constexpr size_t kFrameBytes = 20;
    static constexpr size_t kFrameSamples = 80;

    Bv32Stream();
    ~Bv32Stream();
    Bv32Stream(const Bv32Stream&) = delete;
    Bv32Stream& operator=(const Bv32Stream&) = delete;

    // Starts a new stream: fresh decoder state, no bytes carried.
    void reset();
    // Appends the samples of every frame that `size` more bytes complete; the
    // bytes of an incomplete frame wait for the next call.
    void decode(const char* data, size_t size, std::vector<int16_t>& out);
    // Appends `frames` concealed frames. Bytes carried from before the loss
    // belonged to a frame the loss cut, and are dropped.
    void conceal(size_t frames, std::vector<int16_t>& out);
    // Bytes of an incomplete frame waiting for more.
    size_t carried() const { return carry_.size(); }

  private:
    struct Codec;
    std::unique_ptr<Codec> codec_;
    std::string carry_;
};

}  // namespace asrserver
