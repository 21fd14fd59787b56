// The message a later start sends to the running instance over the local socket: an 8-byte
// length, then the instance key, the kind of start, the instance number and a checksum of the
// bytes before it, all in QDataStream form. Plain functions, any thread.
#pragma once

#include <QByteArray>

namespace instancemessage {

constexpr int kHeaderBytes = 8;
// A valid message is about 55 bytes; anything far larger is not one of ours.
constexpr quint64 kMaxBody = 4096;

struct Init {
    quint8 kind = 0;
    quint32 instanceId = 0;
};

// Header and body for a start of the given kind.
QByteArray write(const QByteArray& key, quint8 kind, quint32 instanceId);
// The body length a header of kHeaderBytes announces; 0 when it is not one we accept.
quint64 readLength(const QByteArray& header);
// Whether body is a whole, intact message for key; then its fields are in *out.
bool readInit(const QByteArray& body, const QByteArray& key, Init* out);

}  // namespace instancemessage
