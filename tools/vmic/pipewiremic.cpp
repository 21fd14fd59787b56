#include "pipewiremic.h"

#include <memory>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include "platform/pipewirestream.h"

namespace vmic {

struct PipeWireMic::Loop {
    JitterBuffer* buffer = nullptr;
    Say say;
    pw_stream* stream = nullptr;  // the current one, set by connect()
    // Last: its threads use everything above until it is gone.
    std::unique_ptr<platform::PipeWireStream> pipewire;

    // Graph thread: one quantum out of the buffer.
    void process() {
        pw_buffer* b = pw_stream_dequeue_buffer(stream);
        if (!b) return;
        spa_data& d = b->buffer->datas[0];
        if (!d.data) return;
        uint32_t frames = d.maxsize / sizeof(int16_t);
        if (b->requested > 0 && b->requested < frames) frames = static_cast<uint32_t>(b->requested);
        buffer->pull(static_cast<int16_t*>(d.data), frames);
        d.chunk->offset = 0;
        d.chunk->stride = sizeof(int16_t);
        d.chunk->size = frames * sizeof(int16_t);
        pw_stream_queue_buffer(stream, b);
    }
};

namespace {

int connectSource(pw_stream* stream) {
    uint8_t pod[512];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, pod, sizeof pod);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = JitterBuffer::kRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    return pw_stream_connect(
        stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
}

}  // namespace

PipeWireMic::PipeWireMic(JitterBuffer* buffer, Say say) : loop_(std::make_unique<Loop>()) {
    loop_->buffer = buffer;
    loop_->say = std::move(say);
}

PipeWireMic::~PipeWireMic() = default;

bool PipeWireMic::start() {
    Loop* loop = loop_.get();
    platform::PipeWireStream::Setup setup;
    setup.threadName = "kivocam-vmic";
    setup.name = kNodeName;
    setup.noun = "source";
    setup.offering =
        std::string("offering source ") + kNodeName + " (" + kNodeDescription + ", 48 kHz mono)";
    setup.properties = {{PW_KEY_MEDIA_TYPE, "Audio"},
                        {PW_KEY_MEDIA_CATEGORY, "Capture"},
                        {PW_KEY_MEDIA_CLASS, "Audio/Source"},
                        {PW_KEY_NODE_NAME, kNodeName},
                        {PW_KEY_NODE_DESCRIPTION, kNodeDescription},
                        {PW_KEY_NODE_NICK, kNodeName}};
    setup.connect = [loop](pw_stream* s) {
        loop->stream = s;
        return connectSource(s);
    };
    setup.streaming = [loop](bool on) { loop->buffer->setConsuming(on); };
    setup.process = [loop] { loop->process(); };
    setup.dropped = [loop] {
        loop->buffer->setConsuming(false);
        loop->stream = nullptr;
    };
    setup.say = loop->say;
    loop->pipewire = std::make_unique<platform::PipeWireStream>(std::move(setup));
    return loop->pipewire->start();
}

}  // namespace vmic
