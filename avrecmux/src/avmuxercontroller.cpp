#include "avrecmux/avmuxercontroller.h"

#include <algorithm>
#include <cstring>

#include "avrecmux/avmuxer.h"
#include "controllerstate.h"
#include "kivobridge/log.h"
#include "queueitems.h"

namespace kivo {
namespace muxer {

namespace {

// Makes usec relative to the recording's start time; the first caller defines time zero. An item
// captured before that (pictures reach us later than sound) is clamped to 0: a negative time
// would mean "stamp with the clock" further down and push the video behind its own pictures.
int64_t relative_time(std::atomic<int64_t>& start_time, int64_t usec) {
    if (usec < 0) {
        bg::Interface* cd = bg::CD;
        usec = cd ? cd->utility()->clock() : 0;
    }
    int64_t expected = -1;
    start_time.compare_exchange_strong(expected, usec);
    return std::max<int64_t>(0, usec - start_time.load());
}

// Copies a payload and its description record into one node of the queue and queues it; -1
// when the queue gives no node or refuses it within 200 ms.
template <typename Desc>
int queue_copy(pp::Abstract_PacketPool* queue, const uint8_t* data, size_t n, const Desc& desc,
               int flag) {
    if (!queue) return -1;
    const size_t offset = desc_offset(n);
    pp::FLMemNode* node = queue->require(offset + sizeof(Desc));
    if (!node) return -1;
    memcpy(node->buffer, data, n);
    memcpy(node->buffer + offset, &desc, sizeof(Desc));
    node->user = node->buffer + offset;
    if (queue->put(node, 200, flag) != 0) {
        pp::release_pnode(&node);
        return -1;
    }
    return 0;
}

}  // namespace

AVMuxerController::AVMuxerController() : d_(new ControllerState()) {
    d_->video_queue = pp::create_pktpool(nullptr, nullptr);
    d_->audio_queue = pp::create_pktpool(nullptr, nullptr);
}

AVMuxerController::AVMuxerController(const AVMuxerController& other) : d_(other.d_) {
    d_->refs.fetch_add(1);
}

AVMuxerController& AVMuxerController::operator=(const AVMuxerController& other) {
    if (d_ != other.d_) {
        other.d_->refs.fetch_add(1);
        release_state();
        d_ = other.d_;
    }
    return *this;
}

AVMuxerController::~AVMuxerController() {
    release_state();
}

void AVMuxerController::release_state() {
    if (d_->refs.fetch_sub(1) != 1) return;
    stop();
    for (pp::Abstract_PacketPool* queue : {d_->video_queue, d_->audio_queue}) {
        if (!queue) continue;
        queue->stop();  // wakes a writer still waiting in put()
        pp::destroy_pktpool(queue);
    }
    delete d_;
    d_ = nullptr;
}

bool AVMuxerController::start(const MVSettings* settings, bool threaded) {
    if (d_->muxer) {
        LOGE("---> 编码器已经开始了，请先调用 stop() 停止");
        return false;
    }
    d_->abort = false;
    d_->failed = false;
    d_->threaded = threaded;
    d_->start_time = -1;
    if (d_->audio_queue) d_->audio_queue->clear();
    if (d_->video_queue) d_->video_queue->clear();

    d_->frame_rate = settings ? settings->frame_rate : 0;
    d_->video_enabled = settings && !settings->disable_video;
    d_->muxer.reset(new AVMuxer());
    const bool ok = d_->muxer->start(settings);
    d_->muxer_open = ok;
    LOGE("--- 开始录制 ---");
    if (ok && threaded) d_->worker.reset(new std::thread(&AVMuxerController::run_worker, d_));
    return ok;
}

bool AVMuxerController::stop() {
    if (d_->abort) {
        LOGE("---> 已经停止了");
        return false;
    }
    d_->abort = true;
    LOGE("--- 停止录制 ---");
    if (d_->worker) {
        std::unique_ptr<std::thread> worker = std::move(d_->worker);
        worker->join();
    }
    bool ok = false;
    if (d_->muxer) {
        std::lock_guard<std::mutex> lock(d_->direct_lock);
        std::unique_ptr<AVMuxer> muxer = std::move(d_->muxer);
        d_->muxer_open = false;
        ok = muxer->stop();
        if (!ok) LOGE("--- 录制文件未能完整写入 ---");
    }
    if (d_->audio_queue) d_->audio_queue->clear();
    if (d_->video_queue) d_->video_queue->clear();
    return ok;
}

int AVMuxerController::write_yuv420(const uint8_t* data, int size, int width, int height,
                                    const uint32_t* pitch, const uint32_t* dlen, int64_t usec) {
    if (d_->abort) {
        LOGE("--- 正在停止编码，abort==true");
        return -1;
    }
    if (!d_->muxer) {
        LOGE("--- 还没有启动编码器，请先调用 start()");
        return -2;
    }
    if (d_->failed) return -1;  // logged once when the file failed
    if (!data || size <= 0 || !pitch || !dlen) {
        LOGE("--- 画面数据无效: size=%d", size);
        return -3;
    }
    const int64_t rel = relative_time(d_->start_time, usec);
    LOGD("----> in yuv: (%dx%d), pitch[%d,%d,%d], dlen[%d,%d,%d], usec=%lld", width, height,
         pitch[0], pitch[1], pitch[2], dlen[0], dlen[1], dlen[2], (long long)rel);

    if (!d_->threaded || !d_->muxer_open) {
        std::lock_guard<std::mutex> lock(d_->direct_lock);
        if (!d_->muxer) return -1;
        return d_->muxer->write_yuv420(data, size, width, height, pitch, dlen, rel);
    }
    const VideoDesc desc{
        width, height, size, {pitch[0], pitch[1], pitch[2]}, {dlen[0], dlen[1], dlen[2]}, rel};
    return queue_copy(d_->video_queue, data, size_t(size), desc, 0);
}

int AVMuxerController::write_pcm(const uint8_t* data, int nbytes, int sample_rate, int channels,
                                 int bits_per_sample, int64_t usec) {
    if (d_->abort) {
        LOGE("--- 正在停止编码，abort==true");
        return -1;
    }
    if (!d_->muxer) {
        LOGE("--- 还没有启动编码器，请先调用 start()");
        return -2;
    }
    if (d_->failed) return -1;  // logged once when the file failed
    const int64_t rel = relative_time(d_->start_time, usec);
    LOGD("----> in pcm: n=%d, freq=%d, ch=%d, bps=%d, usec=%lld", nbytes, sample_rate, channels,
         bits_per_sample, (long long)rel);

    if (!d_->threaded || !d_->muxer_open) {
        std::lock_guard<std::mutex> lock(d_->direct_lock);
        if (!d_->muxer) return -1;
        return d_->muxer->write_pcm(data, nbytes, sample_rate, channels, bits_per_sample, rel);
    }
    // Refuse here what the muxer would refuse, so the worker's audio clock only sees real chunks.
    if (bits_per_sample < 8) {
        LOGE("--- 音频样本 bitsPerSample 不能小于8");
        return -2;
    }
    if (!data || nbytes <= 0 || sample_rate <= 0 || channels < 1 || channels > 64 ||
        (bits_per_sample != 8 && bits_per_sample != 16 && bits_per_sample != 32)) {
        LOGE("--- 音频参数无效: n=%d, freq=%d, ch=%d, bps=%d", nbytes, sample_rate, channels,
             bits_per_sample);
        return -3;
    }
    const AudioDesc desc{nbytes, sample_rate, channels, bits_per_sample, rel};
    return queue_copy(d_->audio_queue, data, size_t(nbytes), desc, pp::kPutNoCountLimit);
}

}  // namespace muxer
}  // namespace kivo
