// Control messages of the command channel: the JSON envelope, its parse and serialisation, and
// the length-prefixed framing. Plain values; any thread, one thread per object.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mirror {

// Upper bound of a control text accepted from a peer; a longer frame closes its connection.
constexpr uint32_t kMaxControlTextBytes = 1u << 20;  // 1 MiB

// Request types (phone to PC).
enum RequestType {
    kRequestUnknown = -2,
    kRequestHeartbeat = -1,
    kRequestPush = 0,
    kRequestPlay = 1,
    kRequestEndSession = 2,
    kRequestNoAction = 3,
    kRequestScreenshot = 4,
    kRequestRecording = 5,
};

class Command {
public:
    enum Error { kErrorNone = 0, kErrorNotJson = 1, kErrorField = 2 };

    Command() = default;
    virtual ~Command() = default;

    // Parses text into root and then the type; true when no error was recorded.
    bool parse(const std::string& text);
    // root["data"], created when absent.
    Json::Value& data();
    void set(const char* key, uint16_t value);
    void set(const char* key, int value);
    void set(const char* key, const std::string& value);
    void set(const char* key, bool value);
    // Compact text of root (with "version" "1.0" when missing and the current type), ending
    // with a line feed.
    void serialize(std::string& out);

    int type() const { return type_; }
    void setType(int type) { type_ = type; }
    const Json::Value& root() const { return root_; }
    int errorCode() const { return errorCode_; }
    const std::string& errorText() const { return errorText_; }

protected:
    virtual void parseType() = 0;
    // Reads root["type"] as an int, mapping values outside [lo, hi] and library errors to -2.
    void parseTypeInRange(int lo, int hi);

    const char* versionKey_ = "version";
    const char* typeKey_ = "type";
    const char* dataKey_ = "data";
    Json::Value root_;
    int type_ = 0;
    int errorCode_ = kErrorNone;
    std::string errorText_;
};

class RequestCommand : public Command {
protected:
    void parseType() override;
};

class ResponseCommand : public Command {
protected:
    void parseType() override;
};

// Compact JSON text of a value: object keys in ascending order, no spaces, text as UTF-8 bytes,
// one line feed at the end (what the program sends on every channel).
std::string compactJson(const Json::Value& value);

// The frame of a control text: its length in four big-endian bytes, then the text.
std::vector<uint8_t> frameControlText(const std::string& text);

// Fields of a Push or Play request. False (with the library's message) when a field cannot be
// read as text.
struct SessionRequest {
    std::string serial;
    std::string name;
    std::string device;
};
bool readSessionRequest(RequestCommand& request, SessionRequest* out, std::string* error);
// The "type" field of a recording request; false (with the message) when it is not a number.
bool readRecordingType(RequestCommand& request, int* out, std::string* error);

}  // namespace mirror
