#include "h264.h"

namespace phonesim {

namespace {

const uint8_t kStartCode[] = {0, 0, 0, 1};

bool isParameterSet(uint8_t nalType) {
    return nalType == 7 || nalType == 8 || nalType == 13;
}

void appendNal(Bytes* out, const uint8_t* nal, size_t size) {
    out->insert(out->end(), kStartCode, kStartCode + 4);
    out->insert(out->end(), nal, nal + size);
}

}  // namespace

size_t findStartCode(const uint8_t* data, size_t size, size_t pos, size_t* codeLen) {
    for (size_t i = pos; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            *codeLen = 3;
            return i;
        }
    }
    *codeLen = 0;
    return size;
}

void AccessUnitSplitter::setInitialConfig(const uint8_t* data, size_t size) {
    Bytes config;
    forEachNal(data, size, [&](const uint8_t* nal, size_t n) {
        if (isParameterSet(nal[0] & 0x1f)) appendNal(&config, nal, n);
    });
    if (!config.empty()) config_ = std::move(config);
}

bool AccessUnitSplitter::split(const uint8_t* data, size_t size, bool keyHint, AccessUnit* out) {
    Bytes config;
    Bytes picture;
    bool idr = false;
    forEachNal(data, size, [&](const uint8_t* nal, size_t n) {
        const uint8_t type = nal[0] & 0x1f;
        if (isParameterSet(type)) {
            appendNal(&config, nal, n);
        } else {
            if (type == 5) idr = true;
            appendNal(&picture, nal, n);
        }
    });
    if (!config.empty() && config != config_) {
        config_ = std::move(config);
        configSent_ = false;
    }
    if (picture.empty()) return false;
    out->key = idr || keyHint;
    out->config.clear();
    if ((out->key || !configSent_) && !config_.empty()) {
        out->config = config_;
        configSent_ = true;
    }
    out->picture = std::move(picture);
    return true;
}

}  // namespace phonesim
