#include "mirror/command.h"

#include <exception>

#include "platform/socket.h"

namespace mirror {

bool Command::parse(const std::string& text) {
    errorCode_ = kErrorNone;
    errorText_.clear();
    root_ = Json::Value();
    bool ok = false;
    try {
        Json::Reader reader;
        ok = reader.parse(text, root_, true);
    } catch (const std::exception&) {
        ok = false;  // nesting beyond the reader's limit
    }
    if (!ok) {
        errorCode_ = kErrorNotJson;
        errorText_ = "json parse error!";
        type_ = kRequestUnknown;
        return false;
    }
    parseType();
    return errorCode_ == kErrorNone;
}

Json::Value& Command::data() {
    return root_[dataKey_];
}

void Command::set(const char* key, uint16_t value) {
    data()[key] = Json::UInt(value);
}
void Command::set(const char* key, int value) {
    data()[key] = value;
}
void Command::set(const char* key, const std::string& value) {
    data()[key] = value;
}
void Command::set(const char* key, bool value) {
    data()[key] = value;
}

void Command::serialize(std::string& out) {
    if (!root_.isMember(versionKey_)) root_[versionKey_] = "1.0";
    root_[typeKey_] = type_;
    out = compactJson(root_);
}

void Command::parseTypeInRange(int lo, int hi) {
    try {
        const int t = root_[typeKey_].asInt();
        type_ = (t < lo || t > hi) ? kRequestUnknown : t;
    } catch (const std::exception& e) {
        errorCode_ = kErrorField;
        errorText_ = e.what();
        type_ = kRequestUnknown;
    }
}

void RequestCommand::parseType() {
    parseTypeInRange(-1, 5);
}

void ResponseCommand::parseType() {
    parseTypeInRange(0, 2);
}

std::string compactJson(const Json::Value& value) {
    // The compact writer of this jsoncpp escapes every non-ASCII character; the builder with
    // emitUTF8 writes the same text with names left as UTF-8.
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value) + "\n";
}

std::vector<uint8_t> frameControlText(const std::string& text) {
    std::vector<uint8_t> frame(text.size() + 4);
    platform::storeBe32(frame.data(), static_cast<uint32_t>(text.size()));
    std::copy(text.begin(), text.end(), frame.begin() + 4);
    return frame;
}

bool readSessionRequest(RequestCommand& request, SessionRequest* out, std::string* error) {
    try {
        Json::Value& d = request.data();
        out->serial = d["serial"].asString();
        out->name = d["name"].asString();
        out->device = d["device"].asString();
        return true;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return false;
    }
}

bool readRecordingType(RequestCommand& request, int* out, std::string* error) {
    try {
        *out = request.data()["type"].asInt();
        return true;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return false;
    }
}

}  // namespace mirror
