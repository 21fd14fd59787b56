// The microphone component's small buffer between the pipe (written in 20 ms blocks on the
// program's audio clock) and the PipeWire graph (read a quantum at a time on the graph's clock).
// It starts playing once it holds a quantum and 20 ms more, so the blocks' timing never leaves
// the reader short; it follows a clock difference by reading up to 0.5 % faster or slower
// (linear interpolation, unheard) rather than dropping or repeating blocks; and while nobody
// records it keeps only that much, so a recorder that starts later hears current sound. Sound
// the graph did not take in time (its cycles came late or not at all on a busy machine) is cut
// at once rather than steered off, which would take minutes and delay everything meanwhile.
// Thread rules: push() and setConsuming() from the pipe's reader, pull() from the graph's thread;
// mutex_ guards everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vmic {

class JitterBuffer {
public:
    static constexpr int kRate = 48000;
    static constexpr int kCapacity = kRate / 5;  // 200 ms: beyond it the oldest sound goes
    static constexpr int kMargin = kRate / 50;   // 20 ms, one block of the program's feed
    // The lowest fill left after a read is steered towards this (over one-second windows).
    static constexpr int kLowTarget = kRate / 100;  // 10 ms
    static constexpr double kMaxCorrection = 0.005;
    // A floor this far above the margin over one stall window is cut back to the margin.
    static constexpr int kStallExcess = kRate / 100;  // 10 ms
    static constexpr int kStallWindow = kRate / 4;    // 250 ms of reads

    void push(const int16_t* samples, size_t count);
    // Fills out with count samples; silence while the buffer is (re)filling.
    void pull(int16_t* out, size_t count);
    // With false, the buffer keeps only a quantum and the margin of the newest sound.
    void setConsuming(bool consuming);

    size_t fill() const;
    double ratio() const;  // input samples read per output sample
    long long underruns() const;
    long long cutSamples() const;  // thrown away by stall cuts

private:
    void dropOldest(size_t count);
    int16_t at(size_t i) const { return ring_[(head_ + i) % ring_.size()]; }

    mutable std::mutex mutex_;
    std::vector<int16_t> ring_ = std::vector<int16_t>(kCapacity);
    size_t head_ = 0;
    size_t fill_ = 0;
    double frac_ = 0;  // position between the first two samples
    bool playing_ = false;
    bool consuming_ = false;
    size_t quantum_ = 1024;  // the graph's last read
    double ratio_ = 1.0;
    size_t windowLow_ = kCapacity;
    size_t windowOut_ = 0;
    size_t stallLow_ = kCapacity;
    size_t stallOut_ = 0;
    long long underruns_ = 0;
    long long cut_ = 0;
};

}  // namespace vmic
