#include "options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vcam {

namespace {

// Far beyond any real run, and small enough that every later conversion (to whole pictures, to
// clock ticks) stays exact and in range.
constexpr double kMaxSeconds = 366.0 * 24 * 3600;
constexpr double kMaxCount = 1e12;

bool parseNumber(const std::string& text, double limit, double* out) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < 0 || v > limit) return false;
    *out = v;
    return true;
}

bool parseSize(const std::string& text, int* w, int* h) {
    int a = 0, b = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%dx%d%c", &a, &b, &tail) != 2) return false;
    if (a < 16 || b < 16 || a > 7680 || b > 7680 || (a & 1) || (b & 1)) return false;
    *w = a;
    *h = b;
    return true;
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    auto setMode = [&o](Options::Mode m) {
        if (o.mode != Options::Mode::None && o.mode != m) o.error = "choose one of the modes";
        o.mode = m;
    };
    for (size_t i = 0; i < args.size() && o.error.empty(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "-h" || a == "--help") {
            setMode(Options::Mode::Help);
        } else if (a == "--register") {
            setMode(Options::Mode::Register);
        } else if (a == "--unregister") {
            setMode(Options::Mode::Unregister);
        } else if (a == "--foreground") {
            o.foreground = true;
        } else if (!hasValue && (a == "--y4m" || a == "--count" || a == "--seconds" ||
                                 a == "--device" || a == "--size")) {
            o.error = a + " needs a value";
        } else if (a == "--y4m") {
            setMode(Options::Mode::Y4m);
            o.y4mPath = args[++i];
        } else if (a == "--count") {
            double v = 0;
            if (!parseNumber(args[++i], kMaxCount, &v) || v != std::floor(v))
                o.error = "--count needs a whole number from 0 to 1000000000000";
            else
                o.count = static_cast<long long>(v);
        } else if (a == "--seconds") {
            if (!parseNumber(args[++i], kMaxSeconds, &o.seconds))
                o.error = "--seconds needs a number of seconds from 0 to 31622400";
        } else if (a == "--device") {
            o.device = args[++i];
        } else if (a == "--size") {
            if (!parseSize(args[++i], &o.width, &o.height))
                o.error = "--size needs WxH with even sides from 16 to 7680";
        } else {
            o.error = "unknown option " + a;
        }
    }
    if (o.error.empty() && o.mode == Options::Mode::None) o.error = "no mode given";
    return o;
}

std::string usageText() {
    return R"(Usage: kivocam-vcam MODE [OPTIONS]
The camera component of KivoCam: reads the pictures KivoCam writes into its shared picture block
(base name "KivoVirtualCamera", or $KIVOCAM_SHM_NAME) and hands them on.

Modes:
  --y4m FILE        Write every picture read as a YUV4MPEG2 stream to FILE ("-" = standard
                    output). Waits for KivoCam when the block does not exist yet. While no phone
                    is connected (0 x 0 header) nothing is written. The first picture fixes the
                    stream's size; a picture of another size (a phone turned between portrait and
                    landscape) is scaled to fit inside it, centred between black bars, because a
                    YUV4MPEG2 stream cannot change size mid-file.
      --count N     stop after N pictures (0 = no limit)
      --seconds T   stop after T seconds, at most 31622400 (366 days); also while nothing
                    arrives (0 = no limit)
  --register        Run the camera in the background: feed a v4l2loopback output device (the
                    first /dev/videoN whose driver is "v4l2 loopback", or --device PATH) with
                    YU12 pictures of one fixed size (--size WxH, default 1280x720), and offer
                    the PipeWire video source node "KivoCam" (1280x720 or 720x1280, I420 or
                    YUY2, 30 fps, as its consumer chooses) where a PipeWire daemon answers; both
                    when both can. A picture of the other orientation is fitted inside the
                    output's size between black bars; while no phone is connected a dark
                    placeholder picture keeps the camera alive. One component runs at a time: a
                    second --register says so and exits with 0. With neither a v4l2loopback
                    device (this user may open) nor a PipeWire daemon it says how to get one and
                    exits with 3.
      --device PATH use this output device
      --size WxH    output size (even sides)
      --foreground  stay in the foreground (messages to standard error instead of
                    $XDG_STATE_HOME/KivoCam/kivocam-vcam.log)
  --unregister      Stop the running component (found through its lock file
                    $XDG_RUNTIME_DIR/kivocam-vcam.pid). A component started after this command
                    is left running.
  -h, --help        This text.

Load the loopback module once (as root):
  modprobe v4l2loopback exclusive_caps=1 card_label="KivoCam"

Exit status: 0 done; 1 error while running; 2 bad command line; 3 no v4l2loopback device this
user may use and no PipeWire daemon.
)";
}

}  // namespace vcam
