// Feeds a byte stream to the control channel's reader as the command server sees it: length
// prefix, bound check, JSON parse, then the field reads of each request type.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mirror/command.h"
#include "platform/socket.h"

using namespace mirror;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void handle(const std::string& text) {
    RequestCommand request;
    const bool ok = request.parse(text);
    if (ok) {
        check(request.errorCode() == Command::kErrorNone);
        check(request.type() >= -2 && request.type() <= 5);
    } else {
        check(request.errorCode() == Command::kErrorNotJson ||
              request.errorCode() == Command::kErrorField);
        return;
    }
    std::string error;
    ResponseCommand reply;
    reply.setType(0);
    switch (request.type()) {
        case kRequestPush:
        case kRequestPlay: {
            SessionRequest fields;
            if (readSessionRequest(request, &fields, &error)) {
                reply.set("key", fields.serial + fields.name);
                reply.set("port", static_cast<uint16_t>(fields.device.size()));
            }
            break;
        }
        case kRequestRecording: {
            int t = 0;
            if (readRecordingType(request, &t, &error)) reply.set("state", t == 1);
            break;
        }
        default:
            break;
    }
    std::string out;
    reply.serialize(out);
    check(!out.empty() && out.back() == '\n');
    const std::vector<uint8_t> frame = frameControlText(out);
    check(platform::loadBe32(frame.data()) == out.size());

    ResponseCommand echo;
    if (echo.parse(out)) check(echo.type() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t at = 0;
    while (size - at >= 4) {
        const uint32_t n = platform::loadBe32(data + at);
        at += 4;
        if (n > kMaxControlTextBytes) break;  // the server drops such a client
        const size_t take = n < size - at ? n : size - at;
        handle(std::string(reinterpret_cast<const char*>(data + at), take));
        at += take;
    }
    return 0;
}
