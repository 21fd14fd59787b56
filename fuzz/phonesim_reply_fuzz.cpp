// Feeds a byte stream, in pieces as a socket delivers it, to the phone simulator's reading of the
// PC's control replies: length prefix, bound, JSON object, the Push and Play answer's fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wire.h"

using namespace phonesim;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte sets the piece size, so replies split across reads are tried too.
    const size_t piece = 1 + data[0] % 64;
    ++data;
    --size;
    ReplyReader reader;
    size_t fed = 0;
    size_t taken = 0;
    for (;;) {
        std::string text;
        const int got = reader.next(&text);
        if (got < 0) {
            check(fed - taken >= 4 && getU32(data + taken) > kMaxReplyBytes);
            return 0;
        }
        if (got > 0) {
            check(getU32(data + taken) == text.size());
            check(text.compare(0, std::string::npos,
                               reinterpret_cast<const char*>(data) + taken + 4, text.size()) == 0);
            taken += 4 + text.size();
            Json::Value reply;
            std::string error;
            if (!parseJson(text, &reply, &error)) {
                check(!error.empty());
                continue;
            }
            check(reply.isObject());
            int port = 0;
            std::string key;
            if (readSessionReply(reply, &port, &key) == 1) check(port >= 1 && port <= 65535);
            continue;
        }
        if (fed == size) return 0;
        const size_t n = size - fed < piece ? size - fed : piece;
        reader.feed(data + fed, n);
        fed += n;
    }
}
