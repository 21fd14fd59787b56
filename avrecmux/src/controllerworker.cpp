// The recording worker: interleaves queued audio and pictures by time, fills audio gaps with
// silence, repeats the last picture while the source stalls, and feeds the muxer.
#include <algorithm>
#include <cstring>

#include "avrecmux/avmuxer.h"
#include "controllerstate.h"
#include "kivobridge/log.h"
#include "queueitems.h"

namespace kivo {
namespace muxer {

namespace {

// Silence is always 44.1 kHz stereo 16-bit.
constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kBits = 16;
// Gaps beyond this are left unfilled rather than asking the pool for a huge buffer.
constexpr int64_t kMaxGapUs = 600LL * 1000000;

AudioDesc* audio_desc(pp::FLMemNode* node) {
    return static_cast<AudioDesc*>(node->user);
}
VideoDesc* video_desc(pp::FLMemNode* node) {
    return static_cast<VideoDesc*>(node->user);
}

// A zeroed node of nbytes with its description record, or null.
pp::FLMemNode* silent_node(pp::Abstract_PacketPool* pool, int nbytes, int64_t time) {
    if (nbytes <= 0) return nullptr;
    const size_t offset = desc_offset(size_t(nbytes));
    pp::FLMemNode* node = pool->require(offset + sizeof(AudioDesc));
    if (!node) return nullptr;
    memset(node->buffer, 0, size_t(nbytes));
    auto* desc = reinterpret_cast<AudioDesc*>(node->buffer + offset);
    *desc = AudioDesc{nbytes, kRate, kChannels, kBits, time};
    node->user = desc;
    return node;
}

// Writes one audio node at its time: a gap before it is filled with silence; the part of a late
// chunk that lies in silence already filled for it is cut off, so the track never holds the same
// span twice and keeps its sync with the pictures.
void write_audio_node(AVMuxer* muxer, pp::Abstract_PacketPool* aq, pp::FLMemNode* node, bool filler,
                      int64_t* a, bool* filled_ahead) {
    const AudioDesc* d = audio_desc(node);
    const uint8_t* data = node->buffer;
    int nbytes = d->nbytes;
    int64_t p = d->time;
    if (!filler && *filled_ahead && p < *a) {
        const int skip = AVMuxer::nbytes_pcm_for_microseconds(*a - p, kChannels, kRate, kBits);
        if (skip >= nbytes) {
            LOGD("drop late pcm: pts=%lld, filled up to %lld", (long long)p, (long long)*a);
            return;
        }
        data += skip;
        nbytes -= skip;
        p = *a;
    }
    if (p > *a && p - *a <= kMaxGapUs) {
        const int bytes = AVMuxer::nbytes_pcm_for_microseconds(p - *a, kChannels, kRate, kBits);
        pp::FLMemNode* gap = silent_node(aq, bytes, *a);
        if (gap) {
            LOGD("supply:  pts:%lld, offPts:%d, (%d)bytes\n", (long long)*a, (int)(p - *a), bytes);
            muxer->write_pcm(gap->buffer, bytes, kRate, kChannels, kBits, *a);
            pp::release_pnode(&gap);
        }
    }
    muxer->write_pcm(data, nbytes, d->sample_rate, d->channels, d->bits_per_sample, p);
    *a = p + AVMuxer::microseconds_for_pcm_nbytes(nbytes, kChannels, kRate, kBits);
    if (!filler) *filled_ahead = false;
    LOGD("write_pcm aframe current pts %lld\n", (long long)*a);
}

}  // namespace

void AVMuxerController::run_worker(ControllerState* s) {
    AVMuxer* muxer = s->muxer.get();
    pp::Abstract_PacketPool* aq = s->audio_queue;
    pp::Abstract_PacketPool* vq = s->video_queue;
    if (!muxer || !aq || !vq || s->frame_rate <= 0) return;
    const int64_t interval = 1000000 / s->frame_rate;
    // At least 1 ms, so a stalled source still advances and the loop never spins.
    const int wait = static_cast<int>(std::max<int64_t>(1, interval / 10000));

    int64_t a = 0;              // audio written up to here
    bool filled_ahead = false;  // silence was filled since the last real chunk
    int64_t v = 0;              // time of the last submitted picture
    bool submitted = false;
    pp::FLMemNode* held = nullptr;

    while (!s->abort && !muxer->failed()) {
        if (!s->video_enabled) {
            // Nothing to interleave with: write audio as it comes.
            pp::FLMemNode* node = nullptr;
            if (aq->take(&node, 10) == 0 && node) {
                AudioDesc* d = audio_desc(node);
                muxer->write_pcm(node->buffer, d->nbytes, d->sample_rate, d->channels,
                                 d->bits_per_sample, d->time);
                pp::release_pnode(&node);
            }
            continue;
        }

        if (a <= v) {
            pp::FLMemNode* node = nullptr;
            if (aq->take(&node, 0) != 0) node = nullptr;
            bool filler = false;
            if (!node && v - a > interval) {
                const int bytes =
                    AVMuxer::nbytes_pcm_for_microseconds(interval, kChannels, kRate, kBits);
                node = silent_node(aq, bytes, a);
                if (node) {
                    LOGI("填充静音包:  pts=%lld, 填充(%d)微秒, (%d)bytes", (long long)a,
                         (int)interval, bytes);
                    filler = true;
                    filled_ahead = true;
                }
            }
            if (node) {
                write_audio_node(muxer, aq, node, filler, &a, &filled_ahead);
                pp::release_pnode(&node);
                if (v - a > interval) continue;  // more audio first
            }
        }
        if (s->abort) break;

        pp::FLMemNode* node = nullptr;
        if (vq->take(&node, wait) == 0 && node) {
            pp::release_pnode(&held);
            held = node;
        } else if (held) {
            video_desc(held)->time += int64_t(wait) * 1000;
            LOGI("复用最后一个画面:  pts=%lld", (long long)v);
        }
        if (held) {
            VideoDesc* d = video_desc(held);
            if (!submitted || d->time - v >= interval) {
                muxer->write_yuv420(held->buffer, d->size, d->width, d->height, d->pitch, d->dlen,
                                    d->time);
                v = d->time;
                submitted = true;
            }
        }
    }
    pp::release_pnode(&held);
    if (muxer->failed()) {
        // Nothing drains the queues any more: writers must fail at once, not wait on them.
        s->failed = true;
        s->audio_queue->clear();
        s->video_queue->clear();
    }
}

}  // namespace muxer
}  // namespace kivo
