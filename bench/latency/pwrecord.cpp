// bench_pwrecord SOURCE QUANTUM: records a PipeWire source natively (no pulse server between),
// 48 kHz mono S16, and writes each quantum to stdout the moment the graph hands it over, so the
// latency benchmark can tell pipewire-pulse's record path apart from the source's own delay.
// QUANTUM (samples) is the node.latency it asks for. Runs until stdout closes or it is stopped.
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <string>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

namespace {

struct Recorder {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
};

void onProcess(void* data) {
    auto* r = static_cast<Recorder*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(r->stream);
    if (!b) return;
    const spa_data& d = b->buffer->datas[0];
    if (d.data && d.chunk->size > 0) {
        const auto* bytes = static_cast<const uint8_t*>(d.data) + d.chunk->offset % d.maxsize;
        if (std::fwrite(bytes, 1, d.chunk->size, stdout) != d.chunk->size ||
            std::fflush(stdout) != 0)
            pw_main_loop_quit(r->loop);
    }
    pw_stream_queue_buffer(r->stream, b);
}

pw_main_loop* gLoop = nullptr;
void onSignal(int) {
    if (gLoop) pw_main_loop_quit(gLoop);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_pwrecord SOURCE QUANTUM\n");
        return 2;
    }
    const std::string latency = std::string(argv[2]) + "/48000";
    pw_init(&argc, &argv);
    Recorder r;
    r.loop = pw_main_loop_new(nullptr);
    gLoop = r.loop;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.process = &onProcess;
    r.stream = pw_stream_new_simple(
        pw_main_loop_get_loop(r.loop), "bench_pwrecord",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_ROLE, "Communication", PW_KEY_TARGET_OBJECT, argv[1],
                          PW_KEY_NODE_LATENCY, latency.c_str(), nullptr),
        &events, &r);
    uint8_t pod[512];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, pod, sizeof pod);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = 48000;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    const int err = pw_stream_connect(
        r.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    if (err < 0) {
        std::fprintf(stderr, "bench_pwrecord: cannot connect\n");
        return 1;
    }
    pw_main_loop_run(r.loop);
    pw_stream_destroy(r.stream);
    pw_main_loop_destroy(r.loop);
    pw_deinit();
    return 0;
}
