#include "pipewirecamera.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <libyuv.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "output/camerablock.h"
#include "platform/localsocket.h"

namespace vcam {

namespace {

constexpr long kRetryNs = 1000L * 1000 * 1000;

struct Offer {
    spa_video_format format;
    int width;
    int height;
};
// Landscape first: a consumer that takes the first fitting offer gets the phone's usual shape.
constexpr Offer kOffers[] = {
    {SPA_VIDEO_FORMAT_I420, 1280, 720},
    {SPA_VIDEO_FORMAT_YUY2, 1280, 720},
    {SPA_VIDEO_FORMAT_I420, 720, 1280},
    {SPA_VIDEO_FORMAT_YUY2, 720, 1280},
};

}  // namespace

struct PipeWireCamera::Loop {
    PipeWireCamera* owner = nullptr;
    Say say;
    pw_thread_loop* thread = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreListener{};
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_source* wake = nullptr;
    spa_source* retry = nullptr;

    // The consumer's format; 0 x 0 while there is none.
    int width = 0;
    int height = 0;
    spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
    bool streaming = false;
    bool connectedOnce = false;
    bool saidNoDaemon = false;
    uint64_t seq = 0;

    std::vector<uint8_t> source;  // the picture taken from the mailbox
    int sourceWidth = 0;
    int sourceHeight = 0;
    bool sourcePlaceholder = true;
    std::vector<uint8_t> scratch;  // I420 in the consumer's size, before packing

    void connect();
    void disconnect();
    void scheduleRetry(long ns);
    void negotiated(const spa_pod* param);
    void send();
    void fill(spa_buffer* buf, uint8_t* data);

    static void onWake(void* data, uint64_t) { static_cast<Loop*>(data)->send(); }
    static void onRetry(void* data, uint64_t) {
        auto* self = static_cast<Loop*>(data);
        self->disconnect();
        self->connect();
    }
    static void onCoreError(void* data, uint32_t id, int, int res, const char* message);
    static void onState(void* data, pw_stream_state, pw_stream_state state, const char* error);
    static void onParam(void* data, uint32_t id, const spa_pod* param);
    static void onProcess(void* data) { static_cast<Loop*>(data)->send(); }
};

namespace {

pw_core_events makeCoreEvents() {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = &PipeWireCamera::Loop::onCoreError;
    return e;
}
const pw_core_events kCoreEvents = makeCoreEvents();

pw_stream_events makeStreamEvents() {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &PipeWireCamera::Loop::onState;
    e.param_changed = &PipeWireCamera::Loop::onParam;
    e.process = &PipeWireCamera::Loop::onProcess;
    return e;
}
const pw_stream_events kStreamEvents = makeStreamEvents();

const spa_pod* buildOffer(spa_pod_builder* b, const Offer& o) {
    spa_rectangle size{static_cast<uint32_t>(o.width), static_cast<uint32_t>(o.height)};
    spa_fraction rate{PipeWireCamera::kFps, 1};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(o.format),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&rate)));
}

size_t frameBytes(spa_video_format format, int w, int h) {
    return format == SPA_VIDEO_FORMAT_YUY2 ? static_cast<size_t>(w) * h * 2
                                           : camerablock::i420Size(w, h);
}

}  // namespace

void PipeWireCamera::Loop::scheduleRetry(long ns) {
    timespec value{ns / 1000000000L, ns % 1000000000L};
    pw_loop_update_timer(pw_thread_loop_get_loop(thread), retry, &value, nullptr, false);
}

void PipeWireCamera::Loop::connect() {
    core = pw_context_connect(context, nullptr, 0);
    if (!core) {
        if (!saidNoDaemon)
            say("PipeWire camera: no PipeWire daemon answers at " + platform::pipewireSocketPath() +
                " (" + std::strerror(errno) + "); the node is made once one does");
        saidNoDaemon = true;
        scheduleRetry(kRetryNs);
        return;
    }
    saidNoDaemon = false;
    pw_core_add_listener(core, &coreListener, &kCoreEvents, this);
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS,
        "Video/Source", PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_NODE_NAME, kNodeName,
        PW_KEY_NODE_DESCRIPTION, kNodeDescription, PW_KEY_NODE_NICK, kNodeName, nullptr);
    stream = pw_stream_new(core, kNodeName, props);
    if (!stream) {
        say(std::string("PipeWire camera: cannot make the stream: ") + std::strerror(errno));
        scheduleRetry(kRetryNs);
        return;
    }
    pw_stream_add_listener(stream, &streamListener, &kStreamEvents, this);
    uint8_t buffer[2048];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[std::size(kOffers)];
    for (size_t i = 0; i < std::size(kOffers); ++i) params[i] = buildOffer(&b, kOffers[i]);
    const int err = pw_stream_connect(
        stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params,
        static_cast<uint32_t>(std::size(kOffers)));
    if (err < 0) {
        say(std::string("PipeWire camera: cannot connect the stream: ") + std::strerror(-err));
        scheduleRetry(kRetryNs);
        return;
    }
    say(std::string(connectedOnce ? "PipeWire camera: back on the PipeWire daemon"
                                  : "PipeWire camera: offering node ") +
        (connectedOnce ? "" : kNodeName) + " (1280x720 and 720x1280, I420 or YUY2, 30 fps)");
    connectedOnce = true;
}

void PipeWireCamera::Loop::disconnect() {
    streaming = false;
    width = height = 0;
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

void PipeWireCamera::Loop::onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<Loop*>(data);
    if (id != PW_ID_CORE || res != -EPIPE) return;
    self->say(std::string("PipeWire camera: lost the PipeWire daemon (") +
              (message ? message : "") + "); the node comes back when it does");
    // Not from inside the core's own callback: the core is destroyed on the next turn.
    self->scheduleRetry(1);
}

void PipeWireCamera::Loop::onState(void* data, pw_stream_state, pw_stream_state state,
                                   const char* error) {
    auto* self = static_cast<Loop*>(data);
    self->streaming = state == PW_STREAM_STATE_STREAMING;
    if (state == PW_STREAM_STATE_ERROR) {
        self->say(std::string("PipeWire camera: stream error: ") + (error ? error : "unknown"));
        self->scheduleRetry(kRetryNs);
    }
    if (self->streaming) {
        // A new consumer gets the newest picture (or the placeholder) at once.
        std::lock_guard<std::mutex> lock(self->owner->mutex_);
        self->owner->fresh_ = true;
    }
    if (self->streaming) self->send();
}

void PipeWireCamera::Loop::onParam(void* data, uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format) static_cast<Loop*>(data)->negotiated(param);
}

void PipeWireCamera::Loop::negotiated(const spa_pod* param) {
    width = height = 0;
    spa_video_info_raw info{};
    if (!param || spa_format_video_raw_parse(param, &info) < 0) return;
    if (info.format != SPA_VIDEO_FORMAT_I420 && info.format != SPA_VIDEO_FORMAT_YUY2) return;
    width = static_cast<int>(info.size.width);
    height = static_cast<int>(info.size.height);
    format = info.format;
    scratch.resize(camerablock::i420Size(width, height));
    say("PipeWire camera: a consumer takes " + std::to_string(width) + "x" +
        std::to_string(height) + (format == SPA_VIDEO_FORMAT_I420 ? " I420" : " YUY2"));

    const int stride = format == SPA_VIDEO_FORMAT_YUY2 ? width * 2 : width;
    const int size = static_cast<int>(frameBytes(format, width, height));
    uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
        SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
    pw_stream_update_params(stream, params, 2);
}

void PipeWireCamera::Loop::send() {
    if (!stream || !streaming || width == 0) return;
    {
        std::lock_guard<std::mutex> lock(owner->mutex_);
        if (!owner->fresh_) return;
    }
    // No free buffer: the consumer still holds them all. The picture stays in the mailbox and
    // goes out when one comes back (the process event).
    pw_buffer* b = pw_stream_dequeue_buffer(stream);
    if (!b) return;
    {
        std::lock_guard<std::mutex> lock(owner->mutex_);
        // A copy, not a swap: the mailbox keeps the newest picture for a consumer that comes next.
        source.assign(owner->pending_.begin(), owner->pending_.end());
        sourceWidth = owner->pendingWidth_;
        sourceHeight = owner->pendingHeight_;
        sourcePlaceholder = owner->pendingPlaceholder_;
        owner->fresh_ = false;
    }
    spa_buffer* buf = b->buffer;
    auto* data = static_cast<uint8_t*>(buf->datas[0].data);
    const size_t bytes = frameBytes(format, width, height);
    if (data && buf->datas[0].maxsize >= bytes) {
        fill(buf, data);
        buf->datas[0].chunk->offset = 0;
        buf->datas[0].chunk->size = static_cast<uint32_t>(bytes);
        buf->datas[0].chunk->stride = format == SPA_VIDEO_FORMAT_YUY2 ? width * 2 : width;
    } else {
        buf->datas[0].chunk->size = 0;
    }
    pw_stream_queue_buffer(stream, b);
    pw_stream_trigger_process(stream);
}

void PipeWireCamera::Loop::fill(spa_buffer* buf, uint8_t* data) {
    uint8_t* i420 = format == SPA_VIDEO_FORMAT_I420 ? data : scratch.data();
    if (sourcePlaceholder || sourceWidth == 0)
        fillPlaceholder(i420, width, height);
    else
        letterbox(tightView(source.data(), sourceWidth, sourceHeight), i420, width, height);
    if (format == SPA_VIDEO_FORMAT_YUY2) {
        const I420View v = tightView(i420, width, height);
        libyuv::I420ToYUY2(v.y, v.strideY, v.u, v.strideU, v.v, v.strideV, data, width * 2, width,
                           height);
    }
    auto* h = static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)));
    if (h) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        h->pts = static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
        h->flags = 0;
        h->seq = seq++;
        h->dts_offset = 0;
    }
}

PipeWireCamera::PipeWireCamera(Say say) : loop_(std::make_unique<Loop>()) {
    loop_->owner = this;
    loop_->say = std::move(say);
}

PipeWireCamera::~PipeWireCamera() {
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

bool PipeWireCamera::start() {
    pw_init(nullptr, nullptr);
    loop_->thread = pw_thread_loop_new("kivocam-pipewire", nullptr);
    if (!loop_->thread) return false;
    pw_loop* loop = pw_thread_loop_get_loop(loop_->thread);
    loop_->context = pw_context_new(loop, nullptr, 0);
    loop_->wake = pw_loop_add_event(loop, &Loop::onWake, loop_.get());
    loop_->retry = pw_loop_add_timer(loop, &Loop::onRetry, loop_.get());
    if (!loop_->context || !loop_->wake || !loop_->retry ||
        pw_thread_loop_start(loop_->thread) < 0) {
        loop_->say("PipeWire camera: cannot set up PipeWire");
        return false;
    }
    pw_thread_loop_lock(loop_->thread);
    loop_->connect();
    pw_thread_loop_unlock(loop_->thread);
    return true;
}

void PipeWireCamera::submitPicture(const I420View& picture) {
    submit(&picture);
}

void PipeWireCamera::submitPlaceholder() {
    submit(nullptr);
}

void PipeWireCamera::submit(const I420View* picture) {
    if (!loop_->thread) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pendingPlaceholder_ = picture == nullptr;
        if (picture) {
            const int w = picture->width, h = picture->height;
            pending_.resize(camerablock::i420Size(w, h));
            const I420View dst = tightView(pending_.data(), w, h);
            libyuv::I420Copy(picture->y, picture->strideY, picture->u, picture->strideU, picture->v,
                             picture->strideV, const_cast<uint8_t*>(dst.y), w,
                             const_cast<uint8_t*>(dst.u), w / 2, const_cast<uint8_t*>(dst.v), w / 2,
                             w, h);
            pendingWidth_ = w;
            pendingHeight_ = h;
        }
        fresh_ = true;
    }
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_->thread), loop_->wake);
}

}  // namespace vcam
