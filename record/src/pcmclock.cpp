#include "record/pcmclock.h"

int64_t PcmClock::stamp(int64_t arrivalUs, int64_t durationUs) {
    const int64_t start = arrivalUs - laid_;
    if (!earliest_.empty() && start - earliest_.front().start > kGapUs) earliest_.clear();
    while (!earliest_.empty() && earliest_.back().start >= start) earliest_.pop_back();
    earliest_.push_back({arrivalUs, start});
    while (earliest_.front().at < arrivalUs - kWindowUs) earliest_.pop_front();
    const int64_t at = earliest_.front().start + laid_;
    laid_ += durationUs;
    end_ = at + durationUs;
    return at;
}
