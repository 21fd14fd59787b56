#include "instancemessage.h"

#include <QDataStream>
#include <QIODevice>

namespace instancemessage {

namespace {

// Other builds of the program read and write this form.
constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_5_6;

}  // namespace

QByteArray write(const QByteArray& key, quint8 kind, quint32 instanceId) {
    QByteArray body;
    {
        QDataStream out(&body, QIODevice::WriteOnly);
        out.setVersion(kStreamVersion);
        out << key;
        out << kind;
        out << instanceId;
        out << qChecksum(body.constData(), static_cast<uint>(body.size()));
    }
    QByteArray message;
    {
        QDataStream out(&message, QIODevice::WriteOnly);
        out.setVersion(kStreamVersion);
        out << static_cast<quint64>(body.size());
    }
    return message + body;
}

quint64 readLength(const QByteArray& header) {
    if (header.size() != kHeaderBytes) return 0;
    QDataStream in(header);
    in.setVersion(kStreamVersion);
    quint64 length = 0;
    in >> length;
    return length <= kMaxBody ? length : 0;
}

bool readInit(const QByteArray& body, const QByteArray& key, Init* out) {
    QDataStream in(body);
    in.setVersion(kStreamVersion);
    QByteArray sentKey;
    Init init;
    quint16 checksum = 0;
    in >> sentKey >> init.kind >> init.instanceId >> checksum;

    const int nul = sentKey.indexOf('\0');
    if (nul >= 0) sentKey.truncate(nul);
    if (in.status() != QDataStream::Ok || body.size() < 2 || sentKey != key) return false;
    if (checksum != qChecksum(body.constData(), static_cast<uint>(body.size() - 2))) return false;
    *out = init;
    return true;
}

}  // namespace instancemessage
