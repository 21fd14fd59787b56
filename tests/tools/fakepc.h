// A small stand-in for the PC, written for the simulator's tests: real loopback sockets, a
// command server that answers like the program does, and a media server that records the raw
// bytes of every media connection for the test to parse afterwards.
// Thread rules: start() and the accessors after join() on the test thread; the servers run on
// two threads of their own.
#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace phonesimtest {

struct FakePcConfig {
    std::string key = "{6f1c2d9e-0a41-4b8e-9d3c-5e7f8a9b0c1d}";
    bool refusePush = false;         // close the command connection instead of replying
    bool dropMediaAfterKey = false;  // close each media connection once the key has arrived
    bool recording = false;          // answer to a recording query
};

class FakePc {
public:
    explicit FakePc(FakePcConfig config = {});
    ~FakePc();
    // Listens on two loopback ports and starts serving; returns the command port.
    int start();
    // Waits until the command connection has ended (or the time-out), then stops the media side.
    void join(int timeoutMs = 30000);

    std::vector<QJsonObject> requests() const;
    std::vector<QByteArray> mediaConnections() const;  // raw bytes, one entry per connection
    int repliesSent() const { return replies_; }
    int mediaPort() const { return mediaPort_; }
    const FakePcConfig& config() const { return config_; }
    // Text of control frames that were not JSON.
    std::vector<QByteArray> brokenFrames() const;

private:
    void serveCommands();
    void serveMedia();

    FakePcConfig config_;
    int commandPort_ = 0;
    int mediaPort_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> commandDone_{false};
    std::atomic<int> replies_{0};
    mutable std::mutex lock_;  // guards the three lists below
    std::vector<QJsonObject> requests_;
    std::vector<QByteArray> media_;
    std::vector<QByteArray> broken_;
    std::thread command_;
    std::thread mediaThread_;
    std::atomic<bool> listening_{false};
};

// One media packet as parsed from the raw bytes.
struct Packet {
    uint32_t type = 0;
    std::vector<uint32_t> ext;
    uint32_t announced = 0;  // payload length from the header
    QByteArray payload;      // what actually followed (shorter when cut off)
    bool complete = true;
};

// Splits a connection's bytes into packets; stops at the first packet that does not fit.
std::vector<Packet> parsePackets(const QByteArray& bytes);
uint32_t be32(const char* p);

// Runs the simulator binary with the arguments; stdout and stderr are collected in files.
struct SimResult {
    int exitCode = -1;
    QString out;
    QString err;
    // Value of `name=` in the summary line, -1 when missing.
    long summary(const QString& name) const;
};
SimResult runSim(const QStringList& args, int timeoutMs = 60000);

}  // namespace phonesimtest
