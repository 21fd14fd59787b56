#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

namespace phonesim {

namespace {

struct ActionEntry {
    const char* name;
    Action action;
    bool media;
};

const ActionEntry kActions[] = {
    {"screenshot", Action::Screenshot, false},
    {"record-start", Action::RecordStart, false},
    {"record-stop", Action::RecordStop, false},
    {"record-query", Action::RecordQuery, false},
    {"heartbeat", Action::Heartbeat, false},
    {"no-action", Action::NoAction, false},
    {"control-garbage", Action::ControlGarbage, false},
    {"control-oversize", Action::ControlOversize, false},
    {"rotate", Action::Rotate, true},
    {"reconnect", Action::Reconnect, true},
    {"garbage", Action::Garbage, true},
    {"oversize", Action::Oversize, true},
    {"truncate", Action::Truncate, true},
    {"wrong-key", Action::WrongKey, true},
    {"bad-extension", Action::BadExtension, true},
};

bool toInt(const std::string& s, long lo, long hi, int* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

bool toDouble(const std::string& s, double lo, double hi, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool toAction(const std::string& s, Action* out) {
    for (const ActionEntry& e : kActions)
        if (s == e.name) {
            *out = e.action;
            return true;
        }
    return false;
}

// "SECONDS:ACTION"
bool toTimedAction(const std::string& s, TimedAction* out) {
    const size_t colon = s.find(':');
    if (colon == std::string::npos) return false;
    return toDouble(s.substr(0, colon), 0, 86400, &out->at) &&
           toAction(s.substr(colon + 1), &out->action);
}

bool toSize(const std::string& s, int* w, int* h) {
    const size_t x = s.find('x');
    return x != std::string::npos && toInt(s.substr(0, x), 16, 4096, w) &&
           toInt(s.substr(x + 1), 16, 4096, h) && *w % 2 == 0 && *h % 2 == 0;
}

}  // namespace

bool isMediaAction(Action a) {
    for (const ActionEntry& e : kActions)
        if (e.action == a) return e.media;
    return false;
}

const char* actionName(Action a) {
    for (const ActionEntry& e : kActions)
        if (e.action == a) return e.name;
    return "?";
}

bool parseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
    using Setter = std::function<bool(const std::string&)>;
    // Options that take a value; each setter validates it.
    const std::map<std::string, Setter> valued = {
        {"--host", [o](const std::string& v) { return !(o->host = v).empty(); }},
        {"--port", [o](const std::string& v) { return toInt(v, 1, 65535, &o->port); }},
        {"--discovery-port",
         [o](const std::string& v) { return toInt(v, 1, 65535, &o->discoveryPort); }},
        {"--discovery-timeout",
         [o](const std::string& v) { return toDouble(v, 0.1, 3600, &o->discoveryTimeout); }},
        {"--mode",
         [o](const std::string& v) {
             if (v != "push" && v != "play") return false;
             o->mode = v == "push" ? Mode::Push : Mode::Play;
             return true;
         }},
        {"--serial", [o](const std::string& v) { return !(o->serial = v).empty(); }},
        {"--name", [o](const std::string& v) { return (o->name = v), true; }},
        {"--device", [o](const std::string& v) { return (o->device = v), true; }},
        {"--heartbeat", [o](const std::string& v) { return toInt(v, 0, 600000, &o->heartbeatMs); }},
        {"--duration", [o](const std::string& v) { return toDouble(v, 0, 86400, &o->duration); }},
        {"--reconnect-every",
         [o](const std::string& v) { return toDouble(v, 0.01, 86400, &o->reconnectEvery); }},
        {"--at",
         [o](const std::string& v) {
             TimedAction a;
             if (!toTimedAction(v, &a)) return false;
             o->actions.push_back(a);
             return true;
         }},
        {"--bad",
         [o](const std::string& v) {
             TimedAction a;
             if (!toAction(v, &a.action) || !isMediaAction(a.action)) return false;
             o->actions.push_back(a);
             return true;
         }},
        {"--garbage-bytes",
         [o](const std::string& v) { return toInt(v, 1, 1 << 24, &o->garbageBytes); }},
        {"--seed",
         [o](const std::string& v) {
             int s = 0;
             if (!toInt(v, 0, 2147483647, &s)) return false;
             o->seed = static_cast<unsigned>(s);
             return true;
         }},
        {"--video-file", [o](const std::string& v) { return !(o->videoFile = v).empty(); }},
        {"--size", [o](const std::string& v) { return toSize(v, &o->width, &o->height); }},
        {"--fps", [o](const std::string& v) { return (o->fpsGiven = toInt(v, 1, 240, &o->fps)); }},
        {"--bitrate", [o](const std::string& v) { return toInt(v, 16, 200000, &o->bitrateKbps); }},
        {"--gop", [o](const std::string& v) { return toInt(v, 1, 10000, &o->gop); }},
        {"--rotate-every",
         [o](const std::string& v) { return toDouble(v, 0.01, 86400, &o->rotateEvery); }},
        {"--dump-h264", [o](const std::string& v) { return !(o->dumpH264 = v).empty(); }},
        {"--dump-yuv", [o](const std::string& v) { return !(o->dumpYuv = v).empty(); }},
        {"--audio-file", [o](const std::string& v) { return !(o->audioFile = v).empty(); }},
        {"--tone", [o](const std::string& v) { return toDouble(v, 1, 20000, &o->toneHz); }},
        {"--rate", [o](const std::string& v) { return toInt(v, 8000, 192000, &o->sampleRate); }},
        {"--channels", [o](const std::string& v) { return toInt(v, 1, 8, &o->channels); }},
        {"--bits",
         [o](const std::string& v) {
             return toInt(v, 8, 16, &o->bits) && (o->bits == 8 || o->bits == 16);
         }},
        {"--block-ms", [o](const std::string& v) { return toInt(v, 1, 1000, &o->blockMs); }},
        {"--clicks", [o](const std::string& v) { return toInt(v, 20, 60000, &o->clickMs); }},
        {"--audio-clock",
         [o](const std::string& v) { return toDouble(v, -10, 10, &o->audioClockPercent); }},
        {"--send-log", [o](const std::string& v) { return !(o->sendLog = v).empty(); }},
    };
    const std::map<std::string, std::function<void()>> flags = {
        {"--help", [o] { o->help = true; }},
        {"-h", [o] { o->help = true; }},
        {"--no-end", [o] { o->endSession = false; }},
        {"--fast", [o] { o->fast = true; }},
        {"--no-video", [o] { o->video = false; }},
        {"--no-audio", [o] { o->audio = false; }},
        {"--pre-encode", [o] { o->preEncode = true; }},
        {"--sync-marks", [o] { o->syncMarks = true; }},
        {"--code-stamp", [o] { o->codeStamp = true; }},
    };

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        if (auto f = flags.find(name); f != flags.end() && !hasValue) {
            f->second();
            continue;
        }
        auto v = valued.find(name);
        if (v == valued.end()) {
            *error = "unknown option: " + args[i];
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                *error = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (!v->second(value)) {
            *error = "bad value for " + name + ": '" + value + "'";
            return false;
        }
    }
    if (o->help) return true;
    if (o->port != 0 && o->host.empty()) o->host = "127.0.0.1";
    if (!o->host.empty() && o->port == 0) {
        *error = "--host needs --port (the PC's command port)";
        return false;
    }
    if (!o->videoFile.empty() && o->rotateEvery > 0) {
        *error = "--rotate-every works only with the generated test pattern";
        return false;
    }
    for (const TimedAction& a : o->actions) {
        if (a.action == Action::Rotate && !o->videoFile.empty()) {
            *error = "rotate works only with the generated test pattern";
            return false;
        }
        if (isMediaAction(a.action) && o->mode == Mode::Play) {
            *error = std::string(actionName(a.action)) + " needs --mode push";
            return false;
        }
    }
    if (o->gop == 0) o->gop = 2 * o->fps;
    std::stable_sort(o->actions.begin(), o->actions.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.at < b.at; });
    return true;
}

std::string helpText() {
    return R"(Usage: kivocam-phonesim [OPTIONS]
Plays the phone's part of a KivoCam session: finds the PC, opens the command channel, sends
Push (or Play), streams H.264 video and PCM audio on the media connection and prints every reply.

The PC
  --host ADDR            PC address (IPv4); default: listen for the discovery datagram
  --port N               PC command port (with --host; --port alone means 127.0.0.1)
  --discovery-port N     UDP port of the discovery listener (5008); it only listens
  --discovery-timeout S  give up discovery after S seconds (10)

Session
  --mode push|play       request type (push)
  --serial S --name S --device S   identity sent in the request
  --heartbeat MS         heartbeat interval, 0 = none (1000)
  --duration S           stream length in seconds (10)
  --fast                 send media as fast as possible instead of in real time
  --no-end               leave without the end-of-session request
  --at S:ACTION          schedule ACTION S seconds into the session (repeatable). Control
                         channel: screenshot, record-start, record-stop, record-query, heartbeat,
                         no-action, control-garbage (a frame that is not JSON), control-oversize
                         (a length prefix of 0xFFFFFFFF, then nothing). Media connection:
                         rotate, reconnect, garbage, oversize, truncate, wrong-key, bad-extension
  --reconnect-every S    drop and reopen the media connection every S seconds

Deliberately bad media input (each sent on the current media connection, which is then closed
and reopened with the right key, so streaming goes on):
  --bad MODE             same as --at 0:MODE
                         garbage        --garbage-bytes random bytes (4096; --seed N)
                         oversize       a video header announcing 0xFFFFFFF0 payload bytes
                         truncate       a video packet cut off in the middle of its payload
                         bad-extension  a packet with extension kind 7
                         wrong-key      a new connection presenting a wrong key (not reopened)

Video (H.264, one access unit per packet; frame kind 2 = parameter sets, sent before the first
picture and before every key picture, 1 = key picture, 0 = other picture)
  --no-video             send no video
  --video-file FILE      any file FFmpeg reads (H.264 is sent as is, other codecs re-encoded)
  --size WxH             generated picture size (1280x720)
  --fps N                picture rate (30; a file's own rate unless given)
  --bitrate KBPS         encoder bit rate (2000)
  --gop N                key frame interval in pictures (2 s)
  --rotate-every S       swap portrait and landscape every S seconds
  --pre-encode           encode the whole clip before connecting
  --dump-h264 FILE       write the H.264 stream exactly as sent
  --dump-yuv FILE        write the encoded source pictures as raw I420
  --sync-marks           generated streams: white pictures and a beep for the first tenth of
                         every second, black pictures and silence for the rest
  --code-stamp           generated streams: each picture's sequence number as a row of 16
                         black and white cells along the top edge
  --send-log FILE        one line per picture ("picture SEQ T") and click ("click N T"):
                         T is the send time in CLOCK_MONOTONIC seconds

Audio (PCM)
  --no-audio             send no audio
  --audio-file FILE      any file FFmpeg reads, converted to the format below
  --tone HZ              generated sine tone (440)
  --rate HZ --channels N --bits 8|16   sample format (44100, 1, 16)
  --block-ms MS          audio block length (20)
  --clicks MS            generated sound: silence with a 2 ms click at the start of a block
                         every MS milliseconds (rounded to whole blocks)
  --audio-clock PCT      the phone's sound clock runs PCT percent fast (negative: slow)

Exit status: 0 session completed, 1 the PC refused or dropped a connection (or another run-time
failure), 2 bad options. Ctrl-C ends the session early (with the end-of-session request).
The last line printed is one line of the form
  summary: pictures=N configs=N audio_blocks=N replies=N heartbeats=N media_connections=N
  bad_inputs=N bytes_sent=N result=ok|failed
)";
}

}  // namespace phonesim
