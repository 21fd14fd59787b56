// A full Push session against the fake PC: what the simulator puts on the wire, and whether the
// H.264 it sends decodes to the pictures it claims.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QUdpSocket>

#include "fakepc.h"
#include "h264decode.h"
#include "test_env.h"

using namespace phonesimtest;

namespace {

QStringList common(int port) {
    return {"--host", "127.0.0.1", "--port", QString::number(port), "--heartbeat", "0"};
}

bool hasNal(const QByteArray& annexB, int type) {
    for (int i = 0; i + 3 < annexB.size(); ++i)
        if (annexB[i] == 0 && annexB[i + 1] == 0 && annexB[i + 2] == 1 &&
            (annexB[i + 3] & 0x1f) == type)
            return true;
    return false;
}

// The video payloads in order, with their frame kinds.
std::vector<std::pair<uint32_t, QByteArray>> videoUnits(const std::vector<Packet>& packets) {
    std::vector<std::pair<uint32_t, QByteArray>> units;
    for (const Packet& p : packets)
        if (p.type == 1 && p.ext.size() == 2) units.emplace_back(p.ext[1], p.payload);
    return units;
}

std::vector<QByteArray> payloads(const std::vector<std::pair<uint32_t, QByteArray>>& units) {
    std::vector<QByteArray> out;
    for (const auto& u : units) out.push_back(u.second);
    return out;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

// Guards the framing the PC relies on: key first, a configuration packet (frame kind 2, SPS and
// PPS only) before the first picture and before every key picture, pictures without parameter
// sets, audio with a kind 2 extension matching the options, counts in the summary that match
// the wire, and the control requests with their fields.
TEST(PhonesimSession, PushSessionBytes) {
    FakePc pc;
    const int port = pc.start();
    QStringList args = common(port);
    args << "--fast"
         << "--duration"
         << "2"
         << "--fps"
         << "10"
         << "--gop"
         << "5"
         << "--size"
         << "320x240"
         << "--rate"
         << "8000"
         << "--channels"
         << "2"
         << "--bits"
         << "8"
         << "--block-ms"
         << "50"
         << "--serial"
         << "SER-1"
         << "--name"
         << "Test phone"
         << "--at"
         << "0:screenshot"
         << "--at"
         << "0:record-start"
         << "--at"
         << "0:record-query"
         << "--at"
         << "0:no-action"
         << "--at"
         << "0:heartbeat";
    const SimResult r = runSim(args);
    pc.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();

    const auto requests = pc.requests();
    ASSERT_GE(requests.size(), 7u);
    EXPECT_EQ(requests.front()["type"].toInt(), 0);
    EXPECT_EQ(requests.front()["version"].toString(), "1.0");
    const QJsonObject data = requests.front()["data"].toObject();
    EXPECT_EQ(data["serial"].toString(), "SER-1");
    EXPECT_EQ(data["name"].toString(), "Test phone");
    EXPECT_TRUE(data["device"].isString());
    std::vector<int> types;
    for (const QJsonObject& q : requests) types.push_back(q["type"].toInt(-99));
    EXPECT_EQ(types, (std::vector<int>{0, 4, 5, 5, 3, -1, 2}));
    EXPECT_EQ(requests[2]["data"].toObject()["type"].toInt(), 1);
    EXPECT_EQ(requests[3]["data"].toObject()["type"].toInt(), 2);
    // Every reply the PC sent was read and printed (no reply to type 3).
    EXPECT_EQ(r.summary("replies"), pc.repliesSent());
    EXPECT_EQ(r.out.count("reply: "), pc.repliesSent());

    const auto conns = pc.mediaConnections();
    ASSERT_EQ(conns.size(), 1u);
    const auto packets = parsePackets(conns[0]);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0].type, 0u);
    EXPECT_TRUE(packets[0].ext.empty());
    EXPECT_EQ(packets[0].payload.toStdString(), pc.config().key);
    for (const Packet& p : packets) {
        ASSERT_TRUE(p.complete);
        if (p.type == 2) {
            EXPECT_EQ(p.ext, (std::vector<uint32_t>{2, 8000, 2, 8}));
            EXPECT_EQ(p.payload.size(), 8000 / 20 * 2);  // 50 ms, two 8-bit channels
        }
    }
    const auto units = videoUnits(packets);
    ASSERT_FALSE(units.empty());
    EXPECT_EQ(units.front().first, 2u);
    long pictures = 0, configs = 0, audio = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        const QByteArray& unit = units[i].second;
        if (units[i].first == 2) {
            ++configs;
            EXPECT_TRUE(hasNal(unit, 7) && hasNal(unit, 8));
            EXPECT_FALSE(hasNal(unit, 5) || hasNal(unit, 1));
            continue;
        }
        ++pictures;
        EXPECT_FALSE(hasNal(unit, 7) || hasNal(unit, 8)) << "picture " << i;
        if (hasNal(unit, 5)) {
            EXPECT_EQ(units[i].first, 1u);
            ASSERT_GT(i, 0u);
            EXPECT_EQ(units[i - 1].first, 2u) << "key picture " << i << " without configuration";
        }
    }
    for (const Packet& p : packets) audio += p.type == 2 ? 1 : 0;
    EXPECT_EQ(pictures, 20);
    EXPECT_EQ(configs, 4);  // key frames every 5 pictures
    EXPECT_EQ(audio, 40);
    EXPECT_EQ(r.summary("pictures"), pictures);
    EXPECT_EQ(r.summary("configs"), configs);
    EXPECT_EQ(r.summary("audio_blocks"), audio);
    EXPECT_EQ(r.summary("bytes_sent"), conns[0].size());
    EXPECT_TRUE(r.out.contains("result=ok"));
}

// Guards the pictures themselves: the stream decodes to the announced number and size, follows
// a rotation, equals the --dump-h264 file byte for byte, and the decoded pictures match the
// --dump-yuv source (a broken split of NAL units or a wrong plane layout would not).
TEST(PhonesimSession, VideoDecodesAndMatchesDumps) {
    FakePc pc;
    const int port = pc.start();
    const QString h264 = kivotest::scratchDir() + "/sent.h264";
    const QString yuv = kivotest::scratchDir() + "/source.yuv";
    QStringList args = common(port);
    args << "--fast"
         << "--no-audio"
         << "--duration"
         << "1"
         << "--fps"
         << "12"
         << "--size"
         << "256x144"
         << "--bitrate"
         << "3000"
         << "--at"
         << "0.5:rotate"
         << "--dump-h264" << h264 << "--dump-yuv" << yuv;
    const SimResult r = runSim(args);
    pc.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const auto conns = pc.mediaConnections();
    ASSERT_EQ(conns.size(), 1u);
    const auto units = videoUnits(parsePackets(conns[0]));
    QByteArray joined;
    for (const auto& u : units) joined += u.second;
    EXPECT_EQ(joined, readFile(h264));

    std::vector<DecodedPicture> pictures;
    ASSERT_TRUE(decodeUnits(payloads(units), &pictures));
    ASSERT_EQ(pictures.size(), 12u);
    for (size_t i = 0; i < pictures.size(); ++i) {
        const bool portrait = i >= 6;
        EXPECT_EQ(pictures[i].width, portrait ? 144 : 256) << i;
        EXPECT_EQ(pictures[i].height, portrait ? 256 : 144) << i;
    }
    const QByteArray source = readFile(yuv);
    ASSERT_EQ(source.size(), 12 * 256 * 144 * 3 / 2);
    qint64 offset = 0;
    for (const DecodedPicture& p : pictures) {
        double diff = 0;
        for (size_t k = 0; k < p.luma.size(); ++k)
            diff += std::abs(int(p.luma[k]) - int(uint8_t(source[int(offset + k)])));
        EXPECT_LT(diff / p.luma.size(), 6.0);
        offset += p.luma.size() * 3 / 2;
    }
}

// Guards the file path: an H.264 file goes out unchanged picture for picture with its parameter
// sets as configuration, from memory when pre-encoded; a file of another codec is re-encoded.
TEST(PhonesimSession, FileSources) {
    const QString h264 = kivotest::scratchDir() + "/clip.h264";
    {
        FakePc pc;
        QStringList args = common(pc.start());
        args << "--fast"
             << "--no-audio"
             << "--duration"
             << "1"
             << "--fps"
             << "15"
             << "--size"
             << "192x108"
             << "--dump-h264" << h264;
        ASSERT_EQ(runSim(args).exitCode, 0);
        pc.join();
    }
    {
        FakePc pc;
        QStringList args = common(pc.start());
        args << "--no-audio"
             << "--fast"
             << "--pre-encode"
             << "--duration"
             << "5"
             << "--video-file" << h264 << "--fps"
             << "15";
        const SimResult r = runSim(args);
        pc.join();
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const auto units = videoUnits(parsePackets(pc.mediaConnections().at(0)));
        ASSERT_FALSE(units.empty());
        EXPECT_EQ(units.front().first, 2u);
        std::vector<DecodedPicture> pictures;
        ASSERT_TRUE(decodeUnits(payloads(units), &pictures));
        EXPECT_EQ(pictures.size(), 15u);  // the file ends before the duration
        EXPECT_EQ(r.summary("pictures"), 15);
    }
    // A YUV4MPEG2 file: raw pictures that must be encoded.
    const QString y4m = kivotest::scratchDir() + "/clip.y4m";
    {
        QFile f(y4m);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("YUV4MPEG2 W64 H48 F10:1 Ip A1:1 C420jpeg\n");
        for (int i = 0; i < 8; ++i) {
            f.write("FRAME\n");
            f.write(QByteArray(64 * 48, char(16 + 20 * i)) + QByteArray(64 * 48 / 2, char(128)));
        }
    }
    FakePc pc;
    QStringList args = common(pc.start());
    args << "--no-audio"
         << "--fast"
         << "--video-file" << y4m;
    const SimResult r = runSim(args);
    pc.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    std::vector<DecodedPicture> pictures;
    ASSERT_TRUE(
        decodeUnits(payloads(videoUnits(parsePackets(pc.mediaConnections().at(0)))), &pictures));
    ASSERT_EQ(pictures.size(), 8u);
    EXPECT_EQ(pictures[0].width, 64);
    EXPECT_NEAR(pictures[7].luma[64 * 24 + 32], 16 + 20 * 7, 4);
}

// Guards the Play handshake: a Play request with the phone's fields, then a key packet with no
// extension on the play connection, which stays open until the session ends.
TEST(PhonesimSession, PlaySession) {
    FakePc pc;
    QStringList args = common(pc.start());
    args << "--mode"
         << "play"
         << "--duration"
         << "0.3"
         << "--serial"
         << "P-9";
    const SimResult r = runSim(args);
    pc.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const auto requests = pc.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["type"].toInt(), 1);
    EXPECT_EQ(requests[0]["data"].toObject()["serial"].toString(), "P-9");
    EXPECT_EQ(requests[1]["type"].toInt(), 2);
    const auto conns = pc.mediaConnections();
    ASSERT_EQ(conns.size(), 1u);
    const QByteArray key = QByteArray::fromStdString(pc.config().key);
    EXPECT_EQ(conns[0],
              QByteArray::fromHex("0000000000000000") +
                  QByteArray::fromHex(QByteArray::number(key.size(), 16).rightJustified(8, '0')) +
                  key);
}

// Guards discovery: the simulator listens on the UDP port, skips datagrams that are not the
// PC's, and connects to the address and port the valid one names.
TEST(PhonesimSession, FindsThePcByDiscovery) {
    QUdpSocket probe;
    ASSERT_TRUE(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const int udpPort = probe.localPort();
    probe.close();
    FakePc pc;
    const int port = pc.start();
    std::atomic<bool> done{false};
    std::thread sender([&] {
        QUdpSocket s;
        const QByteArray good =
            "{\"ip\":\"127.0.0.1\",\"name\":\"Desk PC\",\"port\":" + QByteArray::number(port) +
            "}\n";
        while (!done) {
            s.writeDatagram("{\"ip\":\"not an address\",\"name\":\"x\",\"port\":1}\n",
                            QHostAddress::LocalHost, udpPort);
            s.writeDatagram("garbage", QHostAddress::LocalHost, udpPort);
            s.writeDatagram(good, QHostAddress::LocalHost, udpPort);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const SimResult r = runSim({"--discovery-port", QString::number(udpPort), "--fast",
                                "--duration", "0.2", "--size", "64x64", "--heartbeat", "0"});
    done = true;
    sender.join();
    pc.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("discovered PC \"Desk PC\" at 127.0.0.1:" + QString::number(port)));
    EXPECT_EQ(pc.mediaConnections().size(), 1u);
}

// Guards the real-time pace: without --fast a one-second stream is not sent in a burst, and the
// heartbeats go out at their interval meanwhile.
TEST(PhonesimSession, RealTimePaceAndHeartbeats) {
    FakePc pc;
    QStringList args{"--port",      QString::number(pc.start()),
                     "--duration",  "1",
                     "--fps",       "10",
                     "--size",      "64x64",
                     "--heartbeat", "200"};
    QElapsedTimer clock;
    clock.start();
    const SimResult r = runSim(args);
    const qint64 elapsed = clock.elapsed();
    pc.join();
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_GE(elapsed, 900);
    EXPECT_GE(r.summary("heartbeats"), 3);
    EXPECT_EQ(r.summary("pictures"), 10);
    int echoes = 0;
    for (const QJsonObject& q : pc.requests()) echoes += q["type"].toInt() == -1 ? 1 : 0;
    EXPECT_EQ(echoes, r.summary("heartbeats"));
}
