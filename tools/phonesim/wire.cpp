#include "wire.h"

#include <memory>

namespace phonesim {

void putU32(std::vector<uint8_t>* out, uint32_t v) {
    out->push_back(static_cast<uint8_t>(v >> 24));
    out->push_back(static_cast<uint8_t>(v >> 16));
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}

uint32_t getU32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::string requestText(int type, const Json::Value& data) {
    Json::Value root(Json::objectValue);
    root["version"] = "1.0";
    root["type"] = type;
    if (!data.isNull()) root["data"] = data;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, root);
}

std::vector<uint8_t> controlFrame(const std::string& text) {
    std::vector<uint8_t> frame;
    frame.reserve(text.size() + 4);
    putU32(&frame, static_cast<uint32_t>(text.size()));
    frame.insert(frame.end(), text.begin(), text.end());
    return frame;
}

std::vector<uint8_t> mediaHeader(uint32_t type, const std::vector<uint32_t>& extension,
                                 uint32_t payloadLength) {
    std::vector<uint8_t> header;
    header.reserve(12 + 4 * extension.size());
    putU32(&header, type);
    putU32(&header, static_cast<uint32_t>(4 * extension.size()));
    for (uint32_t word : extension) putU32(&header, word);
    putU32(&header, payloadLength);
    return header;
}

void ReplyReader::feed(const uint8_t* data, size_t size) {
    buffer_.insert(buffer_.end(), data, data + size);
}

int ReplyReader::next(std::string* text) {
    if (buffer_.size() < 4) return 0;
    const uint32_t length = getU32(buffer_.data());
    if (length > kMaxReplyBytes) return -1;
    if (buffer_.size() < 4 + size_t{length}) return 0;
    text->assign(buffer_.begin() + 4, buffer_.begin() + 4 + length);
    buffer_.erase(buffer_.begin(), buffer_.begin() + 4 + length);
    return 1;
}

bool parseJson(const std::string& text, Json::Value* out, std::string* error) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errs;
    if (!reader->parse(text.data(), text.data() + text.size(), out, &errs)) {
        *error = errs.empty() ? "not JSON" : errs;
        return false;
    }
    if (!out->isObject()) {
        *error = "not a JSON object";
        return false;
    }
    return true;
}

int readSessionReply(const Json::Value& reply, int* port, std::string* key) {
    if (!reply.isObject()) return -1;
    const Json::Value& type = reply["type"];
    if (type.isInt() && type.asInt() == -1) return 0;
    const Json::Value& data = reply["data"];
    if (!type.isInt() || type.asInt() != 0 || !data.isObject()) return -1;
    const Json::Value& p = data["port"];
    const Json::Value& k = data["key"];
    if (!p.isIntegral() || p.asInt64() < 1 || p.asInt64() > 65535 || !k.isString()) return -1;
    *port = static_cast<int>(p.asInt64());
    *key = k.asString();
    return 1;
}

}  // namespace phonesim
