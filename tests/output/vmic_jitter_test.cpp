// The PipeWire microphone's jitter buffer between the program's 20 ms pipe writes and the
// graph's reads: no holes from block timing, no stale sound for a recorder that comes later,
// and a clock difference followed without the buffer growing or running dry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <vector>

#include "jitterbuffer.h"

using vmic::JitterBuffer;

namespace {

// A 440 Hz tone from sample `from` on; never quiet for more than a few samples.
std::vector<int16_t> ramp(int from, int count) {
    std::vector<int16_t> v(count);
    for (int i = 0; i < count; ++i)
        v[i] = static_cast<int16_t>(
            std::lround(12000 * std::sin(2 * M_PI * 440 * (from + i) / 48000.0)));
    return v;
}

// The longest run of near-silent samples after the first loud one.
size_t longestQuiet(const std::vector<int16_t>& s) {
    size_t run = 0, longest = 0;
    bool started = false;
    for (int16_t v : s) {
        if (std::abs(v) > 500) {
            started = true;
            run = 0;
        } else if (started) {
            longest = std::max(longest, ++run);
        }
    }
    return longest;
}

}  // namespace

// Blocks of 960 at jittery moments against reads of 1024 (the graph's quantum): once it plays,
// the sound comes out without a hole.
TEST(VMicJitter, BlockTimingLeavesNoHoles) {
    JitterBuffer buffer;
    buffer.setConsuming(true);
    std::vector<int16_t> out;
    int sent = 0;
    double clock = 0;  // ms; the phone's block n is due at 20 n, up to 8 ms late
    for (int read = 0; read < 500; ++read) {
        const double readAt = read * 1024 / 48.0;
        while (sent * 20.0 + ((sent * 7) % 9) <= readAt) {
            const auto block = ramp(sent * 960, 960);
            buffer.push(block.data(), block.size());
            ++sent;
        }
        std::vector<int16_t> q(1024);
        buffer.pull(q.data(), q.size());
        out.insert(out.end(), q.begin(), q.end());
        clock = readAt;
    }
    EXPECT_EQ(buffer.underruns(), 0);
    EXPECT_LT(longestQuiet(out), 48u)
        << "a hole of " << longestQuiet(out) << " samples by " << clock << " ms";
}

// Nobody records for a while: the recorder that comes then starts within a read and the margin
// of the newest sound, not with what the pipe delivered seconds ago.
TEST(VMicJitter, IdleKeepsOnlyTheNewest) {
    JitterBuffer buffer;
    for (int i = 0; i < 250; ++i) {  // 5 s of blocks, nobody reading
        const auto block = ramp(i * 960, 960);
        buffer.push(block.data(), block.size());
    }
    EXPECT_LE(buffer.fill(), 1024u + JitterBuffer::kMargin);
    buffer.setConsuming(true);
    std::vector<int16_t> q(1024);
    buffer.pull(q.data(), q.size());
    // What comes out first is at most a read and the margin older than the newest sound.
    const auto newest = ramp(250 * 960 - 2000, 2000);
    EXPECT_EQ(q[0], newest[newest.size() - buffer.fill() - 1024]);
}

// The phone's blocks come 0.3 % fast (or slow) against the graph: the buffer reads faster (or
// slower) so its level stays put, neither overflowing into dropped sound nor running dry.
TEST(VMicJitter, FollowsClockDifference) {
    for (double percent : {0.3, -0.3}) {
        JitterBuffer buffer;
        buffer.setConsuming(true);
        int sent = 0;
        size_t lowest = 1 << 30, highest = 0;
        for (int read = 0; read < 60 * 47; ++read) {  // about a minute of reads
            const double readAt = read * 1024 / 48.0;
            while (sent * 20.0 / (1 + percent / 100) <= readAt) {
                const auto block = ramp(sent * 960, 960);
                buffer.push(block.data(), block.size());
                ++sent;
            }
            std::vector<int16_t> q(1024);
            buffer.pull(q.data(), q.size());
            if (read > 20 * 47) {  // settled
                lowest = std::min(lowest, buffer.fill());
                highest = std::max(highest, buffer.fill());
            }
        }
        EXPECT_EQ(buffer.underruns(), 0) << percent;
        EXPECT_LT(highest, static_cast<size_t>(JitterBuffer::kRate / 10)) << percent;
        EXPECT_GT(lowest, 0u) << percent;
        EXPECT_NEAR(buffer.ratio(), 1 + percent / 100, 0.003) << percent;
    }
}

// A busy graph misses cycles and reads 7 % less than real time: what it cannot take is cut, so
// the sound it does take stays current (the buffer's level bounded, not its 200 ms capacity)
// and plays on without a hole.
TEST(VMicJitter, GraphMissingCyclesKeepsTheDelay) {
    JitterBuffer buffer;
    buffer.setConsuming(true);
    std::vector<int16_t> out;
    int sent = 0;
    size_t highest = 0;
    for (int read = 0; read < 10 * 188; ++read) {  // ten seconds of 256-sample reads
        const double readAt = read * 256 / 48.0 / 0.93;
        while (sent * 20.0 <= readAt) {
            const auto block = ramp(sent * 960, 960);
            buffer.push(block.data(), block.size());
            ++sent;
        }
        std::vector<int16_t> q(256);
        buffer.pull(q.data(), q.size());
        out.insert(out.end(), q.begin(), q.end());
        if (read > 188) highest = std::max(highest, buffer.fill());
    }
    EXPECT_GT(buffer.cutSamples(), 0);
    EXPECT_LT(highest, static_cast<size_t>(JitterBuffer::kRate / 10));  // 100 ms
    EXPECT_EQ(buffer.underruns(), 0);
    EXPECT_LT(longestQuiet(out), 48u);
}
