// Feeds a byte stream to the single-instance guard's reading of a later start's message, the way
// the running instance reads its local socket: 8-byte length, bound check, body. It also checks
// that whatever a start writes, the running instance reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "instancemessage.h"

using namespace instancemessage;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// The seeds carry messages for this key, so the fuzzer starts past the key comparison.
const QByteArray kKey("KivoCam-fuzz-key");

void readStream(const uint8_t* data, size_t size) {
    if (size < static_cast<size_t>(kHeaderBytes)) return;
    const quint64 length =
        readLength(QByteArray(reinterpret_cast<const char*>(data), kHeaderBytes));
    check(length <= kMaxBody);
    if (length == 0) return;  // the client is dropped
    const size_t rest = size - kHeaderBytes;
    if (rest < length) return;  // waits for more bytes
    const QByteArray body(reinterpret_cast<const char*>(data) + kHeaderBytes,
                          static_cast<int>(length));
    Init init;
    if (!readInit(body, kKey, &init)) return;
    // A message that passes names our key and carries its own checksum.
    check(body.size() >= 4 + kKey.size() + 1 + 4 + 2);
}

void roundTrip(const uint8_t* data, size_t size) {
    if (size < 5) return;
    const quint8 kind = data[0];
    quint32 id = 0;
    std::memcpy(&id, data + 1, 4);
    QByteArray key(reinterpret_cast<const char*>(data) + 5, static_cast<int>(size - 5));
    // The reader stops a key at its first NUL, and keys are names without one.
    const int nul = key.indexOf('\0');
    if (nul >= 0) key.truncate(nul);
    const QByteArray wire = write(key, kind, id);
    const quint64 length = readLength(wire.left(kHeaderBytes));
    if (static_cast<quint64>(wire.size() - kHeaderBytes) > kMaxBody) {
        check(length == 0);
        return;
    }
    check(length == static_cast<quint64>(wire.size() - kHeaderBytes));
    Init init;
    check(readInit(wire.mid(kHeaderBytes), key, &init));
    check(init.kind == kind && init.instanceId == id);
    if (!key.isEmpty()) check(!readInit(wire.mid(kHeaderBytes), key + "x", &init));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    readStream(data, size);
    roundTrip(data, size);
    return 0;
}
