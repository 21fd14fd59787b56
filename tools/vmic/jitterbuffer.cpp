#include "jitterbuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vmic {

void JitterBuffer::dropOldest(size_t count) {
    count = std::min(count, fill_);
    head_ = (head_ + count) % ring_.size();
    fill_ -= count;
    frac_ = 0;
}

void JitterBuffer::push(const int16_t* samples, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count > ring_.size()) {
        samples += count - ring_.size();
        count = ring_.size();
    }
    if (fill_ + count > ring_.size()) dropOldest(fill_ + count - ring_.size());
    for (size_t i = 0; i < count; ++i) ring_[(head_ + fill_ + i) % ring_.size()] = samples[i];
    fill_ += count;
    // Nobody records: what is older than one read and the margin would only reach a later
    // recorder late.
    const size_t keep = quantum_ + kMargin;
    if (!consuming_ && fill_ > keep) dropOldest(fill_ - keep);
}

void JitterBuffer::setConsuming(bool consuming) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (consuming_ == consuming) return;
    consuming_ = consuming;
    playing_ = false;
    ratio_ = 1.0;
    windowLow_ = kCapacity;
    windowOut_ = 0;
    stallLow_ = kCapacity;
    stallOut_ = 0;
}

void JitterBuffer::pull(int16_t* out, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    quantum_ = std::min<size_t>(count, kCapacity / 2);
    if (!playing_ && fill_ >= quantum_ + kMargin) playing_ = true;
    if (!playing_) {
        std::memset(out, 0, count * sizeof *out);
        return;
    }
    size_t i = 0;
    for (; i < count; ++i) {
        if (fill_ < 2) break;
        const double a = at(0), b = at(1);
        out[i] = static_cast<int16_t>(std::lround(a + (b - a) * frac_));
        frac_ += ratio_;
        const auto whole = static_cast<size_t>(frac_);
        frac_ -= static_cast<double>(whole);
        head_ = (head_ + whole) % ring_.size();
        fill_ -= std::min(whole, fill_);
    }
    if (i < count) {
        // Ran dry: fill up again before playing on, rather than stutter block by block.
        std::memset(out + i, 0, (count - i) * sizeof *out);
        playing_ = false;
        ++underruns_;
    }
    stallLow_ = std::min(stallLow_, fill_);
    stallOut_ += count;
    if (stallOut_ >= static_cast<size_t>(kStallWindow)) {
        // Measured from the margin a fresh start holds, so the start itself is never cut.
        if (stallLow_ > static_cast<size_t>(kMargin + kStallExcess)) {
            cut_ += static_cast<long long>(stallLow_ - kMargin);
            dropOldest(stallLow_ - kMargin);
        }
        stallLow_ = kCapacity;
        stallOut_ = 0;
    }
    // What is left after a read is the margin against the next block coming late.
    windowLow_ = std::min(windowLow_, fill_);
    windowOut_ += count;
    if (windowOut_ >= static_cast<size_t>(kRate)) {
        // Half of the floor's distance from the target over the next second, within the limit.
        const double excess = static_cast<double>(windowLow_) - kLowTarget;
        const double dead = kLowTarget / 2.0;
        const double steer = std::abs(excess) <= dead ? 0 : excess / (2.0 * kRate);
        ratio_ = 1.0 + std::clamp(steer, -kMaxCorrection, kMaxCorrection);
        windowLow_ = kCapacity;
        windowOut_ = 0;
    }
}

size_t JitterBuffer::fill() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fill_;
}

double JitterBuffer::ratio() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ratio_;
}

long long JitterBuffer::underruns() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return underruns_;
}

long long JitterBuffer::cutSamples() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cut_;
}

}  // namespace vmic
