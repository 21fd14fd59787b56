// The mirror server: starts the command server and discovery, keeps one MirrorConnection per
// connected phone, feeds it the phone's video and turns the phone's audio into PcmFrames.
// Thread rules: construction, start, stop and destruction on the main thread; onConnected,
// onDisconnected, onShotScreen, onRecordFrame on the command server's thread; onVideoData and
// audio_process on the streaming media server's thread. The connection map is guarded by
// connectionsLock_; the resampler is used by audio_process only.
#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "mirror/audioresampler.h"
#include "mirror/mirrorconnection.h"
#include "mirror/mirrorobserver.h"
#include "mirror/screenmirrorserver.h"

namespace mirror {
class CommandServer;
}
class ScanServer;

// What the server needs from the configuration store, handed in by its owner.
struct MirrorHostConfig {
    // The name advertised by discovery; read once, at construction.
    std::function<QString()> deviceName;
    // Told each advertised address in turn (the store keeps the last one).
    std::function<void(const QString&)> storeIpAddress;
    // The recording flag answered to recording queries; called on the command server's thread.
    std::function<bool()> isRecording;
    // Whether a phone's request to start recording can be honoured (a picture is shown);
    // called on the command server's thread. Unset: always.
    std::function<bool()> canStartRecording;
};

class KivospMirrorServer : public ScreenMirrorServer, public mirror::MirrorObserver {
    Q_OBJECT
public:
    static constexpr quint16 kFirstCommandPort = 10080;
    static constexpr int kCommandPortCount = 1000;

    explicit KivospMirrorServer(QObject* parent = nullptr);
    explicit KivospMirrorServer(MirrorHostConfig config, QObject* parent = nullptr);
    ~KivospMirrorServer() override;

    void start() override;
    void stop() override;

    QString deviceName() const { return deviceName_; }
    QStringList addresses() const { return addresses_; }
    // The port the command server listens on; 0 when it is not running.
    quint16 commandPort() const;
    int connectionCount();

    void onConnected(const char* serial, const char* name) override;
    void onOutConnected(const char* serial, const char* name) override;
    void onDisconnected(const char* serial) override;
    void onVideoData(const char* serial, const unsigned char* data, int length,
                     bool configuration) override;
    void audio_process(const char* serial, const unsigned char* data, int length, int sampleRate,
                       int channels, int bitsPerSample) override;
    void onShotScreen() override;
    void onRecordFrame(bool start) override;

signals:
    void sig_shotScreen();
    void sig_recordFrame(bool state);

private:
    void emitPcm(const uint8_t* data, int size, int sampleRate, int channels);
    void deleteConnections();

    MirrorHostConfig config_;
    QString deviceName_;
    QStringList addresses_;
    std::unique_ptr<mirror::CommandServer> commandServer_;
    QList<QPointer<ScanServer>> scanServers_;
    std::map<QString, QPointer<MirrorConnection>> connections_;
    std::mutex connectionsLock_;  // guards connections_ and the life of the objects in it
    mirror::AudioResampler resampler_;
    int refusedAudioFormat_ = 0;  // audio thread only: bits of the last refused block, one log
};
