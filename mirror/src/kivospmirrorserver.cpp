#include "kivobridge/log.h"
#include "kivobridge/pool.h"
#include "mirror/kivospmirrorserver.h"

#include <QtDebug>

#include <cstring>
#include <string>
#include <vector>

#include "mirror/commandserver.h"
#include "mirror/scanserver.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

KivospMirrorServer::KivospMirrorServer(QObject* parent)
    : KivospMirrorServer(MirrorHostConfig(), parent) {}

KivospMirrorServer::KivospMirrorServer(MirrorHostConfig config, QObject* parent)
    : ScreenMirrorServer(parent), config_(std::move(config)) {
    std::vector<AdapterInfo> adapters;
    if (listAdapters(adapters)) {
        for (const AdapterInfo& adapter : usableAdapters(adapters)) {
            LOGI("Adapter name: %s, ip: %s desc: %s", adapter.name.c_str(), adapter.ip.c_str(),
                 adapter.description.c_str());
            const QString ip = QString::fromStdString(adapter.ip);
            addresses_.append(ip);
            if (config_.storeIpAddress) config_.storeIpAddress(ip);
        }
    }
    if (config_.deviceName) deviceName_ = config_.deviceName();
}

KivospMirrorServer::~KivospMirrorServer() {
    // No observer call may arrive once the connections go.
    commandServer_.reset();
    deleteConnections();
}

void KivospMirrorServer::start() {
    stop();
    quint16 port = 0;
    for (int i = 0; i < kCommandPortCount; ++i) {
        const quint16 candidate = quint16(kFirstCommandPort + i);
        commandServer_.reset();
        commandServer_ = std::make_unique<mirror::CommandServer>(this);
        if (config_.isRecording) commandServer_->setRecordingStateProvider(config_.isRecording);
        if (config_.canStartRecording)
            commandServer_->setRecordStartProvider(config_.canStartRecording);
        if (commandServer_->start(candidate)) {
            port = candidate;
            break;
        }
    }
    if (port == 0) {
        commandServer_.reset();
        qDebug("Server port Open Failed!");
        return;
    }
    qDebug("kivosp server started port %u", unsigned(port));
    // A second start must not leave broadcasters advertising the old port.
    for (const QPointer<ScanServer>& old : scanServers_) delete old.data();
    scanServers_.clear();
    for (ScanServer* scan : startDiscovery(this, addresses_, deviceName_, port))
        scanServers_.append(scan);
}

void KivospMirrorServer::stop() {
    // The command server's destructor stops its thread, closes its clients and deletes its
    // media server.
    commandServer_.reset();
}

quint16 KivospMirrorServer::commandPort() const {
    return commandServer_ && commandServer_->isRunning() ? commandServer_->port() : 0;
}

int KivospMirrorServer::connectionCount() {
    std::lock_guard<std::mutex> lock(connectionsLock_);
    return int(connections_.size());
}

void KivospMirrorServer::deleteConnections() {
    std::lock_guard<std::mutex> lock(connectionsLock_);
    for (auto& entry : connections_) delete entry.second.data();
    connections_.clear();
}

void KivospMirrorServer::onConnected(const char* serial, const char* name) {
    const QString key = QString::fromUtf8(serial);
    {
        std::lock_guard<std::mutex> lock(connectionsLock_);
        auto* connection = new MirrorConnection(framePool_);
        // Relayed on the decoding thread, so a picture takes the same single queued hop to the
        // main thread as the disconnect notice: the notice, posted after this connection's
        // thread has ended, always comes after the session's last picture.
        connect(connection, &MirrorConnection::sigVideoFrame, this,
                &ScreenMirrorServer::MirrorVideoFrame, Qt::DirectConnection);
        auto found = connections_.find(key);
        if (found != connections_.end()) {
            // A phone that pushes again gets a fresh decoder; the old one must not run on.
            delete found->second.data();
            found->second = connection;
        } else {
            connections_.emplace(key, connection);
        }
    }
    emit MirrorInConnected(key, QString::fromUtf8(name));
}

void KivospMirrorServer::onOutConnected(const char* serial, const char* name) {
    emit MirrorOutConnected(QString::fromUtf8(serial), QString::fromUtf8(name));
}

void KivospMirrorServer::onDisconnected(const char* serial) {
    const QString key = QString::fromUtf8(serial);
    {
        std::lock_guard<std::mutex> lock(connectionsLock_);
        auto found = connections_.find(key);
        if (found != connections_.end()) {
            delete found->second.data();
            connections_.erase(found);
        }
    }
    // The buffers kept for reuse were sized for this session's pictures; a stall may have left
    // hundreds of MB of them.
    if (framePool_) framePool_->trim();
    emit MirrorDisconnected(key);
}

void KivospMirrorServer::onVideoData(const char* serial, const unsigned char* data, int length,
                                     bool configuration) {
    if (length < 0 || (length > 0 && !data)) return;
    AVPacket* packet = av_packet_alloc();
    if (!packet) return;
    if (av_new_packet(packet, length) < 0) {
        av_packet_free(&packet);
        return;
    }
    if (length > 0) std::memcpy(packet->data, data, size_t(length));
    packet->pts = configuration ? AV_NOPTS_VALUE : 0;

    std::lock_guard<std::mutex> lock(connectionsLock_);
    auto found = connections_.find(QString::fromUtf8(serial));
    if (found != connections_.end() && found->second && found->second->stream()) {
        found->second->stream()->queuePacket(packet);
    } else {
        av_packet_free(&packet);
    }
}

void KivospMirrorServer::emitPcm(const uint8_t* data, int size, int sampleRate, int channels) {
    if (size <= 0) return;
    pp::FLMemNode* node = framePool_ ? framePool_->require(size_t(size)) : nullptr;
    if (!node) return;
    std::memcpy(node->buffer, data, size_t(size));
    auto frame = std::make_shared<PcmFrame>(node->buffer, size, sampleRate, channels, 16,
                                            [node]() mutable { pp::release_pnode(&node); });
    emit MirrirAudioFrame(frame);
}

void KivospMirrorServer::audio_process(const char*, const unsigned char* data, int length,
                                       int sampleRate, int channels, int bitsPerSample) {
    if (!data || length <= 0) return;
    if (bitsPerSample == 16) {
        emitPcm(data, length, sampleRate, channels);
        return;
    }
    if (bitsPerSample != 8) return;
    const uint8_t* converted = nullptr;
    std::string error;
    const int size =
        resampler_.convertU8ToS16(data, length, sampleRate, channels, &converted, &error);
    if (size == mirror::AudioResampler::kInitFailed) {
        LOGE("avresample_open failed! error[%s]", error.c_str());
        return;
    }
    if (size == mirror::AudioResampler::kConvertFailed) {
        LOGE("swr_convert fail! error[%s]", error.c_str());
        return;
    }
    if (size == mirror::AudioResampler::kBadInput) {
        if (refusedAudioFormat_ != channels) {
            refusedAudioFormat_ = channels;
            LOGW("Audio block refused: %d bytes, %d Hz, %d channels", length, sampleRate, channels);
        }
        return;
    }
    emitPcm(converted, size, sampleRate, channels);
}

void KivospMirrorServer::onShotScreen() {
    emit sig_shotScreen();
}

void KivospMirrorServer::onRecordFrame(bool start) {
    emit sig_recordFrame(start);
}
