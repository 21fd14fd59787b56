#include "simulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <thread>

#include "discovery.h"

namespace phonesim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr int kReplyTimeoutMs = 5000;

// steady_clock is CLOCK_MONOTONIC on Linux: the clock other processes can compare with.
double monotonicNow() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

Simulator::Simulator(Options options) : options_(std::move(options)) {}

Simulator::~Simulator() = default;

void Simulator::fail(const std::string& message) {
    if (!failed_.exchange(true)) std::fprintf(stderr, "error: %s\n", message.c_str());
    stop_ = true;
}

int Simulator::run() {
    std::string error;
    if (!findPc(&error) || !prepareSources(&error) || !openSession(&error)) {
        fail(error);
        summary_.replies = control_.replies();
        return 1;
    }
    std::thread media(&Simulator::mediaThread, this);
    controlLoop();
    stop_ = true;
    media.join();
    if (!failed() && !dropExpected_) endSession();
    summary_.bytesSent = media_.bytesSent();
    summary_.replies = control_.replies();
    summary_.ok = !failed();
    return summary_.ok ? 0 : 1;
}

std::string Simulator::summaryLine() const {
    char line[512];
    std::snprintf(line, sizeof line,
                  "summary: pictures=%ld configs=%ld audio_blocks=%ld replies=%ld heartbeats=%ld "
                  "media_connections=%ld bad_inputs=%ld bytes_sent=%llu result=%s",
                  summary_.pictures.load(), summary_.configs.load(), summary_.audioBlocks.load(),
                  summary_.replies, summary_.heartbeats.load(), summary_.mediaConnections.load(),
                  summary_.badInputs.load(),
                  static_cast<unsigned long long>(summary_.bytesSent.load()),
                  summary_.ok ? "ok" : "failed");
    return line;
}

bool Simulator::findPc(std::string* error) {
    if (!options_.host.empty()) {
        host_ = options_.host;
        commandPort_ = options_.port;
        return true;
    }
    PcAddress pc;
    if (!discoverPc(options_.discoveryPort, options_.discoveryTimeout, &interrupted_, &pc, error))
        return false;
    host_ = pc.ip;
    commandPort_ = pc.port;
    return true;
}

bool Simulator::prepareSources(std::string* error) {
    if (options_.mode != Mode::Push) return true;
    if (options_.video) {
        video_ = makeVideoSource(options_, error);
        if (!video_) return false;
        if (!options_.dumpH264.empty()) {
            dumpH264_.reset(std::fopen(options_.dumpH264.c_str(), "wb"));
            if (!dumpH264_) {
                *error = "cannot write " + options_.dumpH264;
                return false;
            }
        }
    }
    if (!options_.sendLog.empty()) {
        sendLog_.reset(std::fopen(options_.sendLog.c_str(), "w"));
        if (!sendLog_) {
            *error = "cannot write " + options_.sendLog;
            return false;
        }
    }
    if (options_.audio) {
        audio_ = makeAudioSource(options_, error);
        if (!audio_) return false;
    }
    return true;
}

bool Simulator::openSession(std::string* error) {
    if (!control_.connect(host_, commandPort_, error)) return false;
    std::printf("connected to the command port %s:%d\n", host_.c_str(), commandPort_);
    const bool push = options_.mode == Mode::Push;
    const char* what = push ? "Push" : "Play";
    Json::Value data(Json::objectValue);
    data["serial"] = options_.serial;
    data["name"] = options_.name;
    data["device"] = options_.device;
    if (!control_.request(push ? kPush : kPlay, data)) {
        *error = "cannot send the " + std::string(what) + " request: " + control_.lastError();
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        Json::Value reply;
        const int rc =
            control_.readReply(&reply, static_cast<int>(std::max<long>(0, left.count())), error);
        if (rc < 0) {
            *error = "the PC refused the " + std::string(what) +
                     " request (command connection closed: " + *error + ")";
            return false;
        }
        if (rc == 0) {
            *error = "no reply to the " + std::string(what) + " request within 5 s";
            return false;
        }
        const int answer = readSessionReply(reply, &mediaPort_, &key_);
        if (answer == 0) continue;  // heartbeat echo
        if (answer < 0) {
            *error = "the PC refused the " + std::string(what) + " request (no port and key)";
            return false;
        }
        std::printf("session: %s port %d key %s\n", push ? "media" : "play", mediaPort_,
                    key_.c_str());
        std::fflush(stdout);
        return true;
    }
}

// ---- control channel -------------------------------------------------------------------------

void Simulator::controlLoop() {
    std::vector<TimedAction> actions;
    double last = 0;
    for (const TimedAction& a : options_.actions) {
        if (isMediaAction(a.action)) continue;
        actions.push_back(a);
        last = std::max(last, a.at);
    }
    const double endAt = options_.fast ? last : std::max(options_.duration, last);
    const double heartbeat = options_.heartbeatMs / 1000.0;
    double nextHeartbeat = heartbeat > 0 ? heartbeat : kNever;
    size_t next = 0;
    const auto start = Clock::now();
    while (!failed()) {
        if (interrupted_) {
            std::printf("interrupted; ending the session\n");
            return;
        }
        const double t = secondsSince(start);
        while (next < actions.size() && actions[next].at <= t) {
            if (!runControlAction(actions[next++].action)) return;
        }
        if (t >= nextHeartbeat) {
            nextHeartbeat += heartbeat;
            ++summary_.heartbeats;
            if (!control_.request(kHeartbeat)) {
                if (!dropExpected_) fail("cannot send to the PC: " + control_.lastError());
                return;
            }
        }
        if (next == actions.size() && mediaDone_ && t >= endAt) return;
        Json::Value reply;
        std::string error;
        if (control_.readReply(&reply, 20, &error) < 0) {
            if (dropExpected_) {
                std::printf("the PC closed the command connection after the broken frame\n");
                return;
            }
            fail("the PC dropped the command connection: " + error);
            return;
        }
    }
}

bool Simulator::runControlAction(Action action) {
    bool sent = true;
    Json::Value data(Json::objectValue);
    switch (action) {
        case Action::Screenshot:
            sent = control_.request(kScreenshot);
            break;
        case Action::RecordStart:
        case Action::RecordStop:
        case Action::RecordQuery:
            data["type"] = action == Action::RecordStart ? 1 : action == Action::RecordStop ? 0 : 2;
            sent = control_.request(kRecording, data);
            break;
        case Action::Heartbeat:
            ++summary_.heartbeats;
            sent = control_.request(kHeartbeat);
            break;
        case Action::NoAction:
            sent = control_.request(kNoAction);
            break;
        case Action::ControlGarbage:
        case Action::ControlOversize: {
            dropExpected_ = true;
            ++summary_.badInputs;
            std::printf("bad input: %s\n", actionName(action));
            const std::vector<uint8_t> bytes = action == Action::ControlGarbage
                                                   ? controlFrame("this is not JSON {")
                                                   : std::vector<uint8_t>{0xff, 0xff, 0xff, 0xff};
            sent = control_.sendRaw(bytes);
            break;
        }
        default:
            break;
    }
    if (!sent && !dropExpected_) fail("cannot send to the PC: " + control_.lastError());
    return sent || dropExpected_;
}

void Simulator::endSession() {
    if (!options_.endSession) return;
    if (!control_.request(kEndSession)) {
        fail("cannot send the end-of-session request: " + control_.lastError());
        return;
    }
    bool answered = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    while (Clock::now() < deadline) {
        Json::Value reply;
        std::string error;
        const int rc = control_.readReply(&reply, 100, &error);
        if (rc < 0) {
            if (!answered) {
                fail(
                    "the PC closed the command connection without answering the end of "
                    "session");
                return;
            }
            std::printf("session ended; the PC closed the command connection\n");
            return;
        }
        if (rc > 0 && reply["type"].isInt() && reply["type"].asInt() == 0) answered = true;
    }
    if (!answered) {
        fail("no reply to the end-of-session request within 5 s");
        return;
    }
    std::fprintf(stderr,
                 "warning: the PC kept the command connection open after the end of "
                 "the session\n");
}

// ---- media connection ------------------------------------------------------------------------

void Simulator::mediaThread() {
    if (options_.mode == Mode::Push)
        pushStream();
    else
        playStream();
    mediaDone_ = true;
    // Stay connected, as a phone does, until the control side ends the session.
    while (!stop_ && media_.isOpen()) {
        if (media_.peerClosed()) {
            if (!dropExpected_) fail("the PC closed the media connection");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The PC reads to the end of a closed connection; waiting for that keeps the last packets
    // from racing the end-of-session request.
    closeMedia();
}

bool Simulator::ensureMedia(bool rightKey) {
    if (media_.isOpen()) return true;
    std::string error;
    if (!media_.open(host_, mediaPort_, &error)) {
        fail("the PC refused the media connection: " + error);
        return false;
    }
    ++summary_.mediaConnections;
    const std::string key = rightKey ? key_ : "{00000000-0000-0000-0000-000000000000}";
    if (!media_.sendKey(key)) {
        fail("the PC dropped the media connection: " + media_.lastError());
        return false;
    }
    return true;
}

void Simulator::closeMedia() {
    // A new connection replaces the old one at once on the PC, dropping what it has not read
    // yet; letting it read to the end first keeps every packet sent so far.
    if (media_.isOpen()) media_.finish(2000);
    media_.close();
}

bool Simulator::runMediaAction(Action action) {
    if (action == Action::Rotate) {
        std::printf("rotating\n");
        return true;
    }
    if (action == Action::WrongKey) {
        ++summary_.badInputs;
        std::printf("bad input: wrong-key\n");
        closeMedia();
        return ensureMedia(false);
    }
    if (!ensureMedia(true)) return false;
    if (action != Action::Reconnect) {
        ++summary_.badInputs;
        std::printf("bad input: %s\n", actionName(action));
        std::vector<uint8_t> payload;
        switch (action) {
            case Action::Garbage: {
                std::mt19937 random(options_.seed);
                payload.resize(static_cast<size_t>(options_.garbageBytes));
                for (uint8_t& b : payload) b = static_cast<uint8_t>(random());
                media_.sendRaw(payload);
                break;
            }
            case Action::Oversize:
                media_.sendPacket(kPacketVideo, {kExtVideo, kFramePicture}, 0xFFFFFFF0u, {});
                break;
            case Action::Truncate:
                payload.assign(500, 0x5a);
                media_.sendPacket(kPacketVideo, {kExtVideo, kFramePicture}, 1000, payload);
                break;
            case Action::BadExtension:
                payload.assign(16, 0);
                media_.sendPacket(kPacketVideo, {7, 0}, 16, payload);
                break;
            default:
                break;
        }
    } else {
        std::printf("reopening the media connection\n");
    }
    // The PC drops a connection after broken input; start over on a fresh one.
    closeMedia();
    if (video_) video_->restart();
    return ensureMedia(true);
}

bool Simulator::sendPicture(const AccessUnit& au) {
    auto write = [this](const std::vector<uint8_t>& bytes) {
        if (dumpH264_) std::fwrite(bytes.data(), 1, bytes.size(), dumpH264_.get());
    };
    if (!au.config.empty()) {
        if (!media_.sendVideo(au.config, kFrameConfig)) return false;
        write(au.config);
        ++summary_.configs;
    }
    if (!media_.sendVideo(au.picture, au.key ? kFrameKey : kFramePicture)) return false;
    write(au.picture);
    ++summary_.pictures;
    return true;
}

void Simulator::pushStream() {
    std::vector<TimedAction> actions;
    for (const TimedAction& a : options_.actions)
        if (isMediaAction(a.action)) actions.push_back(a);
    if (options_.reconnectEvery > 0)
        for (double t = options_.reconnectEvery; t < options_.duration;
             t += options_.reconnectEvery)
            actions.push_back({t, Action::Reconnect});
    std::stable_sort(actions.begin(), actions.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.at < b.at; });
    const bool wrongKeyFirst =
        !actions.empty() && actions.front().at <= 0 && actions.front().action == Action::WrongKey;
    if (!wrongKeyFirst && !ensureMedia(true)) return;

    const double fps = video_ ? video_->fps() : 0;
    // A fast phone clock puts more samples into each real second.
    const double block = audio_ ? static_cast<double>(audio_->blockFrames()) /
                                      audio_->sampleRate() / (1 + options_.audioClockPercent / 100)
                                : 0;
    const int clickEvery = clickEveryBlocks(options_);
    bool videoOn = video_ != nullptr;
    bool audioOn = audio_ != nullptr;
    long pictureIndex = 0;
    long blockIndex = 0;
    size_t nextAction = 0;
    AccessUnit au;
    std::vector<uint8_t> pcm;
    const auto start = Clock::now();
    while (!stop_) {
        double tv = videoOn ? pictureIndex / fps : kNever;
        double ta = audioOn ? blockIndex * block : kNever;
        if (tv >= options_.duration) videoOn = false, tv = kNever;
        if (ta >= options_.duration) audioOn = false, ta = kNever;
        const double tact = nextAction < actions.size() ? actions[nextAction].at : kNever;
        const double t = std::min({tv, ta, tact});
        if (t == kNever) return;
        if (!options_.fast) {
            const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(t));
            while (!stop_ && Clock::now() < due)
                std::this_thread::sleep_until(
                    std::min(due, Clock::now() + std::chrono::milliseconds(50)));
            if (stop_) return;
        }
        if (tact <= tv && tact <= ta) {
            if (!runMediaAction(actions[nextAction++].action)) return;
            continue;
        }
        if (!ensureMedia(true)) return;
        if (media_.peerClosed()) {
            if (!dropExpected_) fail("the PC closed the media connection");
            return;
        }
        bool sent = true;
        if (tv <= ta) {
            if (!video_->next(&au)) {
                if (!video_->error().empty()) return fail(video_->error());
                videoOn = false;
                continue;
            }
            sent = sendPicture(au);
            // One picture in, one access unit out (no reordering, no look-ahead).
            if (sent && sendLog_)
                std::fprintf(sendLog_.get(), "picture %ld %.6f\n", pictureIndex, monotonicNow());
            ++pictureIndex;
        } else {
            if (!audio_->next(&pcm)) {
                audioOn = false;
                continue;
            }
            sent = media_.sendAudio(pcm, audio_->sampleRate(), audio_->channels(), audio_->bits());
            if (sent) ++summary_.audioBlocks;
            if (sent && sendLog_ && clickEvery > 0 && blockIndex % clickEvery == 0)
                std::fprintf(sendLog_.get(), "click %ld %.6f\n", blockIndex / clickEvery,
                             monotonicNow());
            ++blockIndex;
        }
        summary_.bytesSent = media_.bytesSent();
        if (!sent) {
            if (!dropExpected_) fail("the PC dropped the media connection: " + media_.lastError());
            return;
        }
    }
}

void Simulator::playStream() {
    if (!ensureMedia(true)) return;
    mediaDone_ = true;
    uint64_t received = 0;
    while (!stop_) {
        uint8_t buf[65536];
        const long n = media_.receive(buf, sizeof buf, 50);
        if (n < 0) {
            if (!dropExpected_) fail("the PC closed the play connection");
            break;
        }
        received += static_cast<uint64_t>(n);
    }
    std::printf("play connection: %llu bytes received\n",
                static_cast<unsigned long long>(received));
}

}  // namespace phonesim
