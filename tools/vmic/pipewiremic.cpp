#include "pipewiremic.h"

#include <cerrno>
#include <cstring>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include "platform/localsocket.h"

namespace vmic {

namespace {
constexpr long kRetryNs = 1000L * 1000 * 1000;
}  // namespace

struct PipeWireMic::Loop {
    JitterBuffer* buffer = nullptr;
    Say say;
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_source* retry = nullptr;
    bool connectedOnce = false;
    bool saidNoDaemon = false;

    void connect();
    void disconnect();
    void scheduleRetry(long ns) {
        timespec value{ns / 1000000000L, ns % 1000000000L};
        pw_loop_update_timer(pw_thread_loop_get_loop(thread), retry, &value, nullptr, false);
    }

    static void onRetry(void* data, uint64_t) {
        auto* self = static_cast<Loop*>(data);
        self->disconnect();
        self->connect();
    }
    static void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<Loop*>(data);
        if (id != PW_ID_CORE || res != -EPIPE) return;
        self->say(std::string("lost the PipeWire daemon (") + (message ? message : "") +
                  "); the source comes back when it does");
        self->scheduleRetry(1);  // not from inside the core's own callback
    }
    static void onState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        auto* self = static_cast<Loop*>(data);
        self->buffer->setConsuming(state == PW_STREAM_STATE_STREAMING);
        if (state == PW_STREAM_STATE_ERROR) {
            self->say(std::string("stream error: ") + (error ? error : "unknown"));
            self->scheduleRetry(kRetryNs);
        }
    }
    // Graph thread: one quantum out of the buffer.
    static void onProcess(void* data) {
        auto* self = static_cast<Loop*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(self->stream);
        if (!b) return;
        spa_data& d = b->buffer->datas[0];
        if (!d.data) return;
        uint32_t frames = d.maxsize / sizeof(int16_t);
        if (b->requested > 0 && b->requested < frames) frames = static_cast<uint32_t>(b->requested);
        self->buffer->pull(static_cast<int16_t*>(d.data), frames);
        d.chunk->offset = 0;
        d.chunk->stride = sizeof(int16_t);
        d.chunk->size = frames * sizeof(int16_t);
        pw_stream_queue_buffer(self->stream, b);
    }
};

namespace {

pw_core_events makeCoreEvents() {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = &PipeWireMic::Loop::onCoreError;
    return e;
}
const pw_core_events kCoreEvents = makeCoreEvents();

pw_stream_events makeStreamEvents() {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &PipeWireMic::Loop::onState;
    e.process = &PipeWireMic::Loop::onProcess;
    return e;
}
const pw_stream_events kStreamEvents = makeStreamEvents();

}  // namespace

void PipeWireMic::Loop::connect() {
    core = pw_context_connect(context, nullptr, 0);
    if (!core) {
        if (!saidNoDaemon)
            say("no PipeWire daemon answers at " + platform::pipewireSocketPath() + " (" +
                std::strerror(errno) + "); the source is made once one does");
        saidNoDaemon = true;
        scheduleRetry(kRetryNs);
        return;
    }
    saidNoDaemon = false;
    pw_core_add_listener(core, &coreListener, &kCoreEvents, this);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
        "Audio/Source", PW_KEY_NODE_NAME, kNodeName, PW_KEY_NODE_DESCRIPTION, kNodeDescription,
        PW_KEY_NODE_NICK, kNodeName, nullptr);
    stream = pw_stream_new(core, kNodeName, props);
    if (!stream) {
        say(std::string("cannot make the stream: ") + std::strerror(errno));
        scheduleRetry(kRetryNs);
        return;
    }
    pw_stream_add_listener(stream, &streamListener, &kStreamEvents, this);
    uint8_t pod[512];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, pod, sizeof pod);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = JitterBuffer::kRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    const int err = pw_stream_connect(
        stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    if (err < 0) {
        say(std::string("cannot connect the stream: ") + std::strerror(-err));
        scheduleRetry(kRetryNs);
        return;
    }
    say(connectedOnce ? "back on the PipeWire daemon"
                      : std::string("offering source ") + kNodeName + " (" + kNodeDescription +
                            ", 48 kHz mono)");
    connectedOnce = true;
}

void PipeWireMic::Loop::disconnect() {
    buffer->setConsuming(false);
    if (stream) {
        spa_hook_remove(&streamListener);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
}

PipeWireMic::PipeWireMic(JitterBuffer* buffer, Say say) : loop_(std::make_unique<Loop>()) {
    loop_->buffer = buffer;
    loop_->say = std::move(say);
}

PipeWireMic::~PipeWireMic() {
    if (!loop_->thread) return;
    pw_thread_loop_lock(loop_->thread);
    loop_->disconnect();
    pw_thread_loop_unlock(loop_->thread);
    pw_thread_loop_stop(loop_->thread);
    if (loop_->retry) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_->thread), loop_->retry);
    if (loop_->context) pw_context_destroy(loop_->context);
    pw_thread_loop_destroy(loop_->thread);
    pw_deinit();
}

bool PipeWireMic::start() {
    pw_init(nullptr, nullptr);
    loop_->thread = pw_thread_loop_new("kivocam-vmic", nullptr);
    if (!loop_->thread) return false;
    pw_loop* loop = pw_thread_loop_get_loop(loop_->thread);
    loop_->context = pw_context_new(loop, nullptr, 0);
    loop_->retry = pw_loop_add_timer(loop, &Loop::onRetry, loop_.get());
    if (!loop_->context || !loop_->retry || pw_thread_loop_start(loop_->thread) < 0) return false;
    pw_thread_loop_lock(loop_->thread);
    loop_->connect();
    pw_thread_loop_unlock(loop_->thread);
    return true;
}

}  // namespace vmic
