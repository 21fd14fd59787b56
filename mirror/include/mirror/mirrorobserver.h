// What the protocol servers report to the object that owns the phone connections.
// Thread rules: onConnected, onDisconnected, onShotScreen and onRecordFrame are called on the
// command server's thread; onVideoData and audio_process on the streaming media server's
// thread. Pointers passed in are valid only during the call.
#pragma once

namespace mirror {

class MirrorObserver {
public:
    virtual ~MirrorObserver() = default;
    virtual void onConnected(const char* serial, const char* name) = 0;
    virtual void onOutConnected(const char* serial, const char* name) = 0;
    virtual void onDisconnected(const char* serial) = 0;
    virtual void onVideoData(const char* serial, const unsigned char* data, int length,
                             bool configuration) = 0;
    virtual void audio_process(const char* serial, const unsigned char* data, int length,
                               int sampleRate, int channels, int bitsPerSample) = 0;
    virtual void onShotScreen() = 0;
    virtual void onRecordFrame(bool start) = 0;
};

}  // namespace mirror
