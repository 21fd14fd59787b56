// Command-line options of the phone simulator, their parser and the help text.
// Thread rules: plain data, parsed once on the main thread before anything starts.
#pragma once

#include <string>
#include <vector>

namespace phonesim {

enum class Mode { Push, Play };

// Things that can be scheduled with --at. The first group runs on the control channel (wall
// clock), the second on the media connection (stream clock; the same in real time).
enum class Action {
    Screenshot,
    RecordStart,
    RecordStop,
    RecordQuery,
    Heartbeat,
    NoAction,
    ControlGarbage,
    ControlOversize,
    Rotate,
    Reconnect,
    Garbage,
    Oversize,
    Truncate,
    WrongKey,
    BadExtension,
};

bool isMediaAction(Action a);
const char* actionName(Action a);

struct TimedAction {
    double at = 0;  // seconds after the Push or Play reply
    Action action = Action::Heartbeat;
};

struct Options {
    bool help = false;
    // The PC: an address and command port, or discovery when host is empty.
    std::string host;
    int port = 0;
    int discoveryPort = 5008;
    double discoveryTimeout = 10;

    Mode mode = Mode::Push;
    std::string serial = "PHONESIM0001";
    std::string name = "Phone simulator";
    std::string device = "phonesim";
    int heartbeatMs = 1000;  // 0: no heartbeats
    double duration = 10;
    bool endSession = true;
    bool fast = false;
    double reconnectEvery = 0;
    std::vector<TimedAction> actions;  // sorted by time
    int garbageBytes = 4096;
    unsigned seed = 1;

    bool video = true;
    std::string videoFile;  // empty: generated test pattern
    int width = 1280;
    int height = 720;
    int fps = 30;
    bool fpsGiven = false;
    int bitrateKbps = 2000;
    int gop = 0;  // key frame interval in pictures; 0 = two seconds
    bool preEncode = false;
    // White pictures and a beep for the first tenth of every second, black and silent otherwise, so
    // a recording's sound and picture can be lined up.
    bool syncMarks = false;
    // Each generated picture carries its sequence number as a visible code (stamp.h).
    bool codeStamp = false;
    // One line per picture and per click with its send time (CLOCK_MONOTONIC seconds).
    std::string sendLog;
    double rotateEvery = 0;
    std::string dumpH264;
    std::string dumpYuv;

    bool audio = true;
    std::string audioFile;  // empty: generated tone
    double toneHz = 440;
    int sampleRate = 44100;
    int channels = 1;
    int bits = 16;
    int blockMs = 20;
    // Generated sound is silence with a short click every clickMs (0: the tone), each click at
    // the start of a block.
    int clickMs = 0;
    // How far the phone's sound clock runs fast (positive) or slow, in percent.
    double audioClockPercent = 0;
};

// Parses the arguments after the program name; false with a one-line reason on bad input.
bool parseOptions(const std::vector<std::string>& args, Options* out, std::string* error);
std::string helpText();

}  // namespace phonesim
