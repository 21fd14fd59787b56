#include "pipewirecamera.h"

#include <ctime>
#include <iterator>
#include <memory>

#include <libyuv.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include "output/camerablock.h"
#include "platform/pipewirestream.h"

namespace vcam {

namespace {

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
    pw_stream* stream = nullptr;  // the current one, set by connect()

    // The consumer's format; 0 x 0 while there is none.
    int width = 0;
    int height = 0;
    spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
    bool streaming = false;
    uint64_t seq = 0;

    std::vector<uint8_t> source;  // the picture taken from the mailbox
    int sourceWidth = 0;
    int sourceHeight = 0;
    bool sourcePlaceholder = true;
    std::vector<uint8_t> scratch;  // I420 in the consumer's size, before packing
    // Last: its loop thread uses everything above until it is gone.
    std::unique_ptr<platform::PipeWireStream> pipewire;

    int connect(pw_stream* s);
    void negotiated(const spa_pod* param);
    void send();
    void fill(spa_buffer* buf, uint8_t* data);

    void started(bool on);
};

namespace {

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

int PipeWireCamera::Loop::connect(pw_stream* s) {
    stream = s;
    uint8_t buffer[2048];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[std::size(kOffers)];
    for (size_t i = 0; i < std::size(kOffers); ++i) params[i] = buildOffer(&b, kOffers[i]);
    return pw_stream_connect(
        stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params,
        static_cast<uint32_t>(std::size(kOffers)));
}

void PipeWireCamera::Loop::started(bool on) {
    streaming = on;
    if (!on) return;
    {
        // A new consumer gets the newest picture (or the placeholder) at once.
        std::lock_guard<std::mutex> lock(owner->mutex_);
        owner->fresh_ = true;
    }
    send();
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
    loop_->pipewire.reset();  // the loop thread also reads the mailbox
}

bool PipeWireCamera::start() {
    Loop* loop = loop_.get();
    platform::PipeWireStream::Setup setup;
    setup.threadName = "kivocam-pipewire";
    setup.name = kNodeName;
    setup.noun = "node";
    setup.offering = std::string("offering node ") + kNodeName +
                     " (1280x720 and 720x1280, I420 or YUY2, 30 fps)";
    setup.properties = {
        {PW_KEY_MEDIA_TYPE, "Video"},         {PW_KEY_MEDIA_CATEGORY, "Capture"},
        {PW_KEY_MEDIA_CLASS, "Video/Source"}, {PW_KEY_MEDIA_ROLE, "Camera"},
        {PW_KEY_NODE_NAME, kNodeName},        {PW_KEY_NODE_DESCRIPTION, kNodeDescription},
        {PW_KEY_NODE_NICK, kNodeName}};
    setup.connect = [loop](pw_stream* s) { return loop->connect(s); };
    setup.streaming = [loop](bool on) { loop->started(on); };
    setup.param = [loop](uint32_t id, const spa_pod* param) {
        if (id == SPA_PARAM_Format) loop->negotiated(param);
    };
    setup.process = [loop] { loop->send(); };
    setup.dropped = [loop] {
        loop->streaming = false;
        loop->width = loop->height = 0;
        loop->stream = nullptr;
    };
    setup.woken = [loop] { loop->send(); };
    setup.say = [loop](const std::string& line) { loop->say("PipeWire camera: " + line); };
    loop->pipewire = std::make_unique<platform::PipeWireStream>(std::move(setup));
    if (loop->pipewire->start()) return true;
    loop->say("PipeWire camera: cannot set up PipeWire");
    return false;
}

void PipeWireCamera::submitPicture(const I420View& picture) {
    submit(&picture);
}

void PipeWireCamera::submitPlaceholder() {
    submit(nullptr);
}

void PipeWireCamera::submit(const I420View* picture) {
    if (!loop_->pipewire) return;
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
    loop_->pipewire->wake();
}

}  // namespace vcam
