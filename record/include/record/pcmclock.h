// Stamps audio blocks that arrive over a network with the time their sound belongs to.
//
// A phone sends its blocks at the pace of its microphone; the network and a busy machine delay
// some of them and then hand over several at once. Stamping each block with its arrival would
// carry such a delay into the recording for good. Instead the blocks are laid back to back, and
// the line they lie on is anchored to the earliest arrivals seen in the last few seconds: a late
// burst is stamped where its sound belongs, while a phone clock that runs a little fast or slow
// is still followed. Sound that never came (the phone paused, blocks lost) starts a new line.
// Thread rules: none inside; one thread at a time.
#pragma once

#include <cstdint>
#include <deque>

class PcmClock {
public:
    // How far back the earliest arrival is looked for.
    static constexpr int64_t kWindowUs = 2000000;
    // A block this much later than its place on the line means sound is missing before it.
    static constexpr int64_t kGapUs = 200000;

    // The start time of a block of durationUs that arrived at arrivalUs (same clock).
    int64_t stamp(int64_t arrivalUs, int64_t durationUs);
    // End of the last stamped block; 0 before the first.
    int64_t end() const { return end_; }

private:
    struct Arrival {
        int64_t at;     // when the block arrived
        int64_t start;  // where the line would start if this block were on time
    };
    int64_t laid_ = 0;  // sound laid on the line so far
    int64_t end_ = 0;
    std::deque<Arrival> earliest_;  // increasing starts: the front is the earliest in the window
};
