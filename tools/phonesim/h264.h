// Splits H.264 Annex B access units into parameter sets and picture data, the way a phone's
// encoder hands them out (a configuration buffer, then pictures).
// Thread rules: pure functions and a per-stream tracker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace phonesim {

using Bytes = std::vector<uint8_t>;

// One unit ready to send: the parameter sets to send first (empty when none are due), then
// the picture's NAL units.
struct AccessUnit {
    Bytes config;
    Bytes picture;
    bool key = false;
};

// Calls fn(nal, size) for each NAL unit of an Annex B buffer (start codes stripped).
template <typename Fn>
void forEachNal(const uint8_t* data, size_t size, Fn fn);

// Turns encoder or demuxer output into access units: SPS and PPS are taken out of the picture
// and sent as configuration before the first picture and before every key picture.
class AccessUnitSplitter {
public:
    // Parameter sets known in advance (extradata in Annex B form), may be empty.
    void setInitialConfig(const uint8_t* data, size_t size);
    // False when the buffer holds no picture (e.g. parameter sets only; they are kept).
    bool split(const uint8_t* data, size_t size, bool keyHint, AccessUnit* out);
    // The next picture gets the configuration again (e.g. after a reconnection).
    void resendConfig() { configSent_ = false; }
    const Bytes& config() const { return config_; }

private:
    Bytes config_;
    bool configSent_ = false;
};

// Position of the next start code at or after pos, or size; *codeLen gets its length.
size_t findStartCode(const uint8_t* data, size_t size, size_t pos, size_t* codeLen);

template <typename Fn>
void forEachNal(const uint8_t* data, size_t size, Fn fn) {
    size_t codeLen = 0;
    size_t start = findStartCode(data, size, 0, &codeLen);
    while (start < size) {
        const size_t begin = start + codeLen;
        size_t nextLen = 0;
        const size_t next = findStartCode(data, size, begin, &nextLen);
        size_t end = next;
        while (end > begin && data[end - 1] == 0) --end;  // trailing zero bytes
        if (end > begin) fn(data + begin, end - begin);
        start = next;
        codeLen = nextLen;
    }
}

}  // namespace phonesim
