#include "platform/pipewirestream.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <pipewire/pipewire.h>

#include "platform/localsocket.h"

namespace platform {

namespace {
constexpr long kRetryNs = 1000L * 1000 * 1000;
}  // namespace

struct PipeWireStream::Loop {
    Setup setup;
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_source* wake = nullptr;
    spa_source* retry = nullptr;
    bool connectedOnce = false;
    bool saidNoDaemon = false;

    void connect();
    void disconnect();
    void scheduleRetry(long ns) {
        timespec value{ns / 1000000000L, ns % 1000000000L};
        pw_loop_update_timer(pw_thread_loop_get_loop(thread), retry, &value, nullptr, false);
    }

    static void onWake(void* data, uint64_t) {
        auto* self = static_cast<Loop*>(data);
        if (self->setup.woken) self->setup.woken();
    }
    static void onRetry(void* data, uint64_t) {
        auto* self = static_cast<Loop*>(data);
        self->disconnect();
        self->connect();
    }
    static void onCoreError(void* data, uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<Loop*>(data);
        if (id != PW_ID_CORE || res != -EPIPE) return;
        self->setup.say(std::string("lost the PipeWire daemon (") + (message ? message : "") +
                        "); the " + self->setup.noun + " comes back when it does");
        self->scheduleRetry(1);  // not from inside the core's own callback
    }
    static void onState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        auto* self = static_cast<Loop*>(data);
        if (self->setup.streaming) self->setup.streaming(state == PW_STREAM_STATE_STREAMING);
        if (state != PW_STREAM_STATE_ERROR) return;
        self->setup.say(std::string("stream error: ") + (error ? error : "unknown"));
        self->scheduleRetry(kRetryNs);
    }
    static void onParam(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Loop*>(data);
        if (self->setup.param) self->setup.param(id, param);
    }
    static void onProcess(void* data) {
        auto* self = static_cast<Loop*>(data);
        if (self->setup.process) self->setup.process();
    }
};

namespace {

pw_core_events makeCoreEvents() {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = &PipeWireStream::Loop::onCoreError;
    return e;
}
const pw_core_events kCoreEvents = makeCoreEvents();

pw_stream_events makeStreamEvents() {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &PipeWireStream::Loop::onState;
    e.param_changed = &PipeWireStream::Loop::onParam;
    e.process = &PipeWireStream::Loop::onProcess;
    return e;
}
const pw_stream_events kStreamEvents = makeStreamEvents();

}  // namespace

void PipeWireStream::Loop::connect() {
    core = pw_context_connect(context, nullptr, 0);
    if (!core) {
        if (!saidNoDaemon)
            setup.say("no PipeWire daemon answers at " + pipewireSocketPath() + " (" +
                      std::strerror(errno) + "); the " + setup.noun + " is made once one does");
        saidNoDaemon = true;
        scheduleRetry(kRetryNs);
        return;
    }
    saidNoDaemon = false;
    pw_core_add_listener(core, &coreListener, &kCoreEvents, this);
    pw_properties* props = pw_properties_new(nullptr, nullptr);
    for (const auto& [key, value] : setup.properties)
        pw_properties_set(props, key.c_str(), value.c_str());
    stream = pw_stream_new(core, setup.name.c_str(), props);
    if (!stream) {
        setup.say(std::string("cannot make the stream: ") + std::strerror(errno));
        scheduleRetry(kRetryNs);
        return;
    }
    pw_stream_add_listener(stream, &streamListener, &kStreamEvents, this);
    const int err = setup.connect(stream);
    if (err < 0) {
        setup.say(std::string("cannot connect the stream: ") + std::strerror(-err));
        scheduleRetry(kRetryNs);
        return;
    }
    setup.say(connectedOnce ? std::string("back on the PipeWire daemon") : setup.offering);
    connectedOnce = true;
}

void PipeWireStream::Loop::disconnect() {
    if (stream) {
        if (setup.dropped) setup.dropped();
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

PipeWireStream::PipeWireStream(Setup setup) : loop_(std::make_unique<Loop>()) {
    loop_->setup = std::move(setup);
}

PipeWireStream::~PipeWireStream() {
    if (!loop_->thread) return;
    pw_thread_loop_lock(loop_->thread);
    loop_->disconnect();
    pw_thread_loop_unlock(loop_->thread);
    pw_thread_loop_stop(loop_->thread);
    pw_loop* loop = pw_thread_loop_get_loop(loop_->thread);
    if (loop_->wake) pw_loop_destroy_source(loop, loop_->wake);
    if (loop_->retry) pw_loop_destroy_source(loop, loop_->retry);
    if (loop_->context) pw_context_destroy(loop_->context);
    pw_thread_loop_destroy(loop_->thread);
    pw_deinit();
}

bool PipeWireStream::start() {
    pw_init(nullptr, nullptr);
    loop_->thread = pw_thread_loop_new(loop_->setup.threadName.c_str(), nullptr);
    if (!loop_->thread) return false;
    pw_loop* loop = pw_thread_loop_get_loop(loop_->thread);
    loop_->context = pw_context_new(loop, nullptr, 0);
    loop_->wake = pw_loop_add_event(loop, &Loop::onWake, loop_.get());
    loop_->retry = pw_loop_add_timer(loop, &Loop::onRetry, loop_.get());
    if (!loop_->context || !loop_->wake || !loop_->retry || pw_thread_loop_start(loop_->thread) < 0)
        return false;
    pw_thread_loop_lock(loop_->thread);
    loop_->connect();
    pw_thread_loop_unlock(loop_->thread);
    return true;
}

void PipeWireStream::wake() {
    if (loop_->wake) pw_loop_signal_event(pw_thread_loop_get_loop(loop_->thread), loop_->wake);
}

pw_stream* PipeWireStream::stream() const {
    return loop_->stream;
}

}  // namespace platform
