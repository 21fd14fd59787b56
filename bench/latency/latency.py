#!/usr/bin/env python3
"""End-to-end delay and smoothness from the phone simulator to the programs that use KivoCam's
virtual camera and microphone, on one machine and one clock (CLOCK_MONOTONIC).

Run inside the sandbox, from the source folder:
    scripts/in-sandbox.sh python3 bench/latency/latency.py --build build
It starts a private PulseAudio server, kivocam, kivocam-vcam --y4m - and parec on "KivoMic",
streams 720p30 with stamped pictures and clicks, and prints every figure next to its baseline from
the same run: the decode-only time of the same H.264 stream for the camera, and a plain writer into
the same FIFO for the microphone. --drift-seconds 300 gives the five-minute clock runs.
Where PipeWire is installed it then runs kivocam again on a private PipeWire graph (pipewire,
wireplumber and pipewire-pulse on a session bus of their own) and measures the PipeWire camera
node with GStreamer's pipewiresrc and the PipeWire microphone source at once with parec through
pipewire-pulse and with a native PipeWire recorder (bench_pwrecord), there next to the same plain
FIFO writer feeding kivocam-vmic alone (--no-pipewire leaves this out, --pipewire-only runs only
this part).
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from kivorun import Rig, now  # noqa: E402

RATE = 48000
STAMP_BITS, STAMP_ROWS = 16, 80
CLICK_MS = 500
NATIVE_QUANTUM = 480  # samples the native recorder asks for: 10 ms, as parec's --latency-msec


def parec(source):
    return ["parec", "-d", source, "--format=s16le", f"--rate={RATE}", "--channels=1", "--raw",
            "--latency-msec=10", "--process-time-msec=5"]


def pct(values, q):
    if not values:
        return float("nan")
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q / 100 * (len(s) - 1))))]


def ms(v):
    return "   n/a" if v != v else f"{v * 1000:6.1f}"


def read_stamp(y, width):
    cw = width // STAMP_BITS
    value = 0
    for bit in range(STAMP_BITS):
        total = n = 0
        for row in range(STAMP_ROWS // 4, STAMP_ROWS * 3 // 4, 4):
            start = row * width + bit * cw
            cells = y[start + cw // 4:start + cw * 3 // 4:4]
            total += sum(cells)
            n += len(cells)
        mean = total / n
        if 70 < mean < 180:
            return None
        value = (value << 1) | (1 if mean >= 180 else 0)
    return value


class CameraReader(threading.Thread):
    """Reads kivocam-vcam's YUV4MPEG2 output; notes each picture's code and arrival time."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream, self.pictures, self.unreadable = stream, [], 0

    def _exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            chunk = self.stream.read(n - len(buf))
            if not chunk:
                return None
            buf += chunk
        return bytes(buf)

    def run(self):
        header = self.stream.readline().decode()
        m = re.search(r" W(\d+) H(\d+)", header)
        if not m:
            return
        w, h = int(m.group(1)), int(m.group(2))
        size = w * h * 3 // 2
        while True:
            if self.stream.readline() != b"FRAME\n":
                return
            frame = self._exact(size)
            if frame is None:
                return
            t = now()
            code = read_stamp(frame, w)
            if code is None:
                self.unreadable += 1
            else:
                self.pictures.append((code, t))


class RawCameraReader(CameraReader):
    """Reads raw I420 pictures of a known size (GStreamer's fdsink)."""

    def __init__(self, stream, width, height):
        super().__init__(stream)
        self.width, self.height = width, height

    def run(self):
        size = self.width * self.height * 3 // 2
        while True:
            frame = self._exact(size)
            if frame is None:
                return
            t = now()
            code = read_stamp(frame, self.width)
            if code is None:
                self.unreadable += 1
            else:
                self.pictures.append((code, t))


class Recorder(threading.Thread):
    """A recorder writing raw 48 kHz mono S16 to its stdout (parec by default); keeps the samples
    and, per chunk, when its last sample arrived."""

    def __init__(self, source, env, cmd=None):
        super().__init__(daemon=True)
        self.proc = subprocess.Popen(cmd or parec(source), stdout=subprocess.PIPE, env=env)
        self.started = now()
        self.samples = bytearray()
        self.chunks = []  # (sample count after the chunk, arrival time)

    def run(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 4096)
            if not chunk:
                return
            t = now()
            self.samples += chunk
            self.chunks.append((len(self.samples) // 2, t))

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.join(2)

    def clicks(self):
        """When the chunk holding each click onset (loud after 100 ms of quiet) reached us. Not
        back-dated by the sample's place in the chunk: the pipe delivers 20 ms at once."""
        out, quiet, ci = [], RATE, 0
        data = memoryview(self.samples).cast("h")
        for n in range(len(data)):
            if abs(data[n]) > 6000:
                if quiet >= RATE // 10:
                    while self.chunks[ci][0] <= n:
                        ci += 1
                    out.append(self.chunks[ci][1])
                quiet = 0
            else:
                quiet += 1
        return out


def match(sends, arrivals, window=0.45):
    """Pairs each arrival, in order, with the earliest unpaired send shortly before it."""
    pairs, i = [], 0
    for a in arrivals:
        while i < len(sends) and a - sends[i] > window:
            i += 1
        if i < len(sends) and sends[i] < a:
            pairs.append((sends[i], a))
            i += 1
    return pairs


def read_send_log(path):
    pictures, clicks = {}, []
    with open(path) as f:
        for line in f:
            kind, index, t = line.split()
            if kind == "picture":
                pictures[int(index) % (1 << STAMP_BITS)] = float(t)
            else:
                clicks.append(float(t))
    return pictures, clicks


class Bench(Rig):
    def __init__(self, args):
        super().__init__(args.build, "latency")
        self.args = args
        # kivocam then logs when each picture left the decoder and when it reached the screen.
        self.env["KIVOCAM_LOG_LEVEL"] = "5"

    def stop_all(self):
        super().stop_all()
        bus = getattr(self, "bus", None)
        if bus and bus.poll() is None:
            bus.stdin.close()  # cat ends, and dbus-run-session ends its bus with it
            try:
                bus.wait(5)
            except subprocess.TimeoutExpired:
                bus.kill()

    def native(self, source):
        return [os.path.join(self.bin, "bench_pwrecord"), source, str(NATIVE_QUANTUM)]

    def fifo_baseline(self, seconds, cmds=(None,)):
        """Clicks written straight into the microphone's FIFO at a 20 ms pace, heard by one
        recorder per command (None: parec); one list of delays per recorder."""
        recs = [Recorder("KivoMic", self.env, cmd) for cmd in cmds]
        for rec in recs:
            rec.start()
        time.sleep(1.0)
        fifo = os.path.join(self.env["XDG_RUNTIME_DIR"], "KivoAudioDeviceLink")
        fd = os.open(fifo, os.O_WRONLY)
        click = bytearray(1920)
        for i in range(96):
            v = int(26000 * __import__("math").sin(2 * 3.14159265 * 2000 * (i + 0.5) / RATE))
            click[2 * i:2 * i + 2] = v.to_bytes(2, "little", signed=True)
        sends, start = [], now()
        for block in range(int(seconds * 50)):
            due = start + block * 0.02
            while now() < due:
                time.sleep(min(0.005, due - now()))
            if block % (CLICK_MS // 20) == 0:
                os.write(fd, click)
                sends.append(now())
            else:
                os.write(fd, bytes(1920))
        time.sleep(0.5)
        os.close(fd)
        for rec in recs:
            rec.stop()
        delays = [[a - s for s, a in match(sends, rec.clicks())] for rec in recs]
        return delays if len(cmds) > 1 else delays[0]

    def phone(self, name, seconds, extra=()):
        sendlog = os.path.join(self.dir, name + ".sends")
        cmd = [os.path.join(self.bin, "kivocam-phonesim"), "--duration", str(seconds),
               "--discovery-timeout", "10", "--code-stamp", "--clicks", str(CLICK_MS),
               "--rate", "48000", "--send-log", sendlog, *extra]
        return self.start(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), sendlog

    def late_run(self, seconds, late_at):
        """Nobody records while the phone streams; a recorder joins at late_at."""
        sim, sendlog = self.phone("late", seconds, ["--no-video"])
        time.sleep(late_at)
        rec = Recorder("KivoMic", self.env)
        rec.start()
        sim.wait()
        time.sleep(1)
        rec.stop()
        _, clicks = read_send_log(sendlog)
        return clicks, rec.clicks(), rec.started

    def main_run(self, seconds):
        vcam = self.start([os.path.join(self.bin, "kivocam-vcam"), "--y4m", "-"],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        camera = CameraReader(vcam.stdout)
        camera.start()
        early = Recorder("KivoMic", self.env)
        early.start()
        h264 = os.path.join(self.dir, "stream.h264")
        sim, sendlog = self.phone("main", seconds, ["--dump-h264", h264])
        sim.wait()
        time.sleep(1)
        vcam.terminate()
        vcam.wait()
        camera.join(2)
        early.stop()
        return camera, early, sendlog, h264

    def start_pipewire(self):
        """A PipeWire graph of this run only, and the microphone's driver installed on it (the
        driver tool then starts kivocam-vmic)."""
        # Not in self.procs: terminated, dbus-run-session would leave its bus daemon running.
        self.bus = subprocess.Popen(["dbus-run-session", "--", "sh", "-c",
                                     'echo "$DBUS_SESSION_BUS_ADDRESS"; exec cat'],
                                    env=self.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus.stdout.readline().decode().strip()
        # pipewire-pulse listens where PULSE_RUNTIME_PATH says, so PULSE_SERVER stays right.
        self.env.pop("PIPEWIRE_REMOTE", None)
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.start(["pipewire"], **quiet)
        self.wait_for("pipewire", lambda: subprocess.run(["pw-cli", "info", "0"], env=self.env,
                                                         **quiet).returncode == 0)
        self.start(["wireplumber"], **quiet)
        self.start(["pipewire-pulse"], **quiet)
        self.wait_for("pipewire-pulse", lambda: subprocess.run(["pactl", "info"], env=self.env,
                                                               **quiet).returncode == 0)
        self.wait_for("wireplumber", lambda: "WirePlumber [export]" in subprocess.run(
            ["pw-dump"], env=self.env, capture_output=True, text=True).stdout)
        devcon = os.path.join(self.bin, "Drivers", "x64", "devcon")
        subprocess.run([devcon, "/r", "install", "KivoVirtualAudioDevice.inf",
                        "*KivoWaveExtensible"], env=self.env, check=True, **quiet)

    def pipewire_run(self, seconds):
        """kivocam's own camera component offers the node; pipewiresrc reads it."""
        self.wait_for("the camera node", lambda: '"node.name": "KivoCam"' in subprocess.run(
            ["pw-dump"], env=self.env, capture_output=True, text=True).stdout)
        gst = self.start(["gst-launch-1.0", "-q", "pipewiresrc", "target-object=KivoCam", "!",
                          "video/x-raw,format=I420,width=1280,height=720", "!", "fdsink",
                          "fd=1", "sync=false"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
        camera = RawCameraReader(gst.stdout, 1280, 720)
        camera.start()
        early = Recorder("KivoMic", self.env)
        early.start()
        native = Recorder("KivoMic", self.env, self.native("KivoMic"))
        native.start()
        time.sleep(1)
        sim, sendlog = self.phone("pipewire", seconds)
        sim.wait()
        time.sleep(1)
        gst.terminate()
        gst.wait()
        camera.join(2)
        early.stop()
        native.stop()
        return camera, early, native, sendlog

    def drift_run(self, percent, seconds):
        rec = Recorder("KivoMic", self.env)
        rec.start()
        sim, sendlog = self.phone(f"drift{percent:+g}", seconds,
                                  ["--no-video", "--audio-clock", str(percent)])
        sim.wait()
        time.sleep(1)
        rec.stop()
        _, clicks = read_send_log(sendlog)
        return match(clicks, rec.clicks()), len(clicks)

    def decode_only(self, h264):
        """Wall time per picture of decoding the same stream with FFmpeg alone, one thread, so it
        is the time one picture takes rather than the throughput of several in flight."""
        out = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-benchmark", "-threads", "1",
                              "-i", h264,
                              "-f", "null", "-"], capture_output=True, text=True).stderr
        rtime = re.search(r"rtime=([\d.]+)s", out)
        frames = re.findall(r"frame=\s*(\d+)", out)
        if not rtime or not frames or int(frames[-1]) == 0:
            return float("nan")
        return float(rtime.group(1)) / int(frames[-1])


def report_camera(camera, sendlog, decode, title="camera (send -> kivocam-vcam --y4m -)     "):
    pictures, _ = read_send_log(sendlog)
    seen = {}
    for code, t in camera.pictures:
        seen.setdefault(code, []).append(t)
    delays = [seen[c][0] - t for c, t in pictures.items() if c in seen]
    # The session's first pictures wait for the window to switch to its picture page and for the
    # renderer's shaders to be compiled: a one-off, shown apart.
    start = min(pictures.values(), default=0)
    steady = [seen[c][0] - t for c, t in pictures.items() if c in seen and t >= start + 1]
    sent = len(pictures)
    once = sum(1 for c in pictures if len(seen.get(c, [])) == 1)
    repeated = sum(1 for c in pictures if len(seen.get(c, [])) > 1)
    skipped = sum(1 for c in pictures if c not in seen)
    print(f"{title} measured   decode-only")
    print(f"  delay median (ms)                        {ms(statistics.median(delays) if delays else float('nan'))}   {ms(decode)}")
    print(f"  delay p99 (ms)                           {ms(pct(delays, 99))}")
    print(f"  delay median / p99 after the first second {ms(statistics.median(steady) if steady else float('nan'))} / {ms(pct(steady, 99))}")
    print(f"  pictures sent {sent}: exactly once {100 * once / max(sent, 1):.1f} %, "
          f"repeated {repeated}, skipped {skipped}, unreadable codes {camera.unreadable}")


def report_inside(camera, sendlog, log):
    """Send to decoded and to on screen. kivocam names a picture by the time it was decoded; the
    phone's pictures are decoded one each, in order, so the n-th decoded is the n-th sent."""
    sends = list(read_send_log(sendlog)[0].items())  # (code, send time), in sending order
    decoded, shown, in_block = [], [], []
    with open(log, errors="replace") as f:
        for line in f:
            m = re.search(r"\[stats\]picture (?:decoded at (\d+) us|shown: decoded at (\d+) us, "
                          r"on screen at (\d+) us)", line)
            if m and m.group(1):
                decoded.append(int(m.group(1)) / 1e6)
            elif m:
                shown.append((int(m.group(2)) / 1e6, int(m.group(3)) / 1e6))
            m = re.search(r"\[stats\]picture in the camera block: decoded at (\d+) us, written "
                          r"at (\d+) us", line)
            if m:
                in_block.append((int(m.group(1)) / 1e6, int(m.group(2)) / 1e6))
    arrived = {code: t for code, t in reversed(camera.pictures)}
    pairs = list(zip(sends, decoded))
    # The pairing holds if every picture was decoded before the camera consumer had it, and not
    # before it was sent. The phone notes a send once its write returned, so a decode may come a
    # few ms ahead of the note; one picture off would put it a whole frame interval ahead.
    wrong = sum(1 for (code, s), d in pairs if d < s - 0.02 or d > arrived.get(code, float("inf")))
    print("inside kivocam (from its debug log)        measured")
    if not pairs or len(decoded) > len(sends) or wrong:
        print(f"  not measured: {len(decoded)} pictures decoded of {len(sends)} sent, {wrong} "
              "out of order (is kivocam's debug log on?)")
        return
    index = {d: s for (_, s), d in pairs}
    to_screen = [on - index[d] for d, on in shown if d in index]
    first_write = {}
    for d, w in in_block:  # a picture rewritten for a late consumer counts once
        first_write.setdefault(d, w)
    to_block = [w - index[d] for d, w in first_write.items() if d in index]
    print(f"  send -> decoded, median / p99 (ms)       {ms(statistics.median(d - s for (_, s), d in pairs))} / "
          f"{ms(pct([d - s for (_, s), d in pairs], 99))}")
    print(f"  send -> camera block, median / p99 (ms)  "
          f"{ms(statistics.median(to_block) if to_block else float('nan'))} / "
          f"{ms(pct(to_block, 99))}")
    print(f"  send -> on screen (renderer's swap)      "
          f"{ms(statistics.median(to_screen) if to_screen else float('nan'))} / "
          f"{ms(pct(to_screen, 99))}")
    print(f"  pictures on screen: {len(to_screen)} of {len(sends)} "
          f"({100 * len(to_screen) / max(len(sends), 1):.1f} %)")


def report_mic(label, pairs, base, extra=""):
    d = [a - s for s, a in pairs]
    print(f"  {label:<40} {ms(statistics.median(d) if d else float('nan'))} / {ms(pct(d, 99))}"
          f"   {ms(statistics.median(base) if base else float('nan'))} / {ms(pct(base, 99))}{extra}")
    slow = [(s - pairs[0][0], a - s) for s, a in pairs if a - s > 0.08]
    if slow:
        print("    over 80 ms (s into the stream: ms): " +
              ", ".join(f"{t:.1f}: {v * 1000:.0f}" for t, v in slow))


def report_drift(percent, pairs, sent, outdir):
    """Also writes each click's time into the run and its delay (ms) to drift<percent>.delays."""
    d = [(s, a - s) for s, a in pairs]
    if len(d) < 4:
        print(f"  clock {percent:+g} %: only {len(d)} clicks heard of {sent}")
        return
    t0 = d[0][0]
    first = statistics.median(v for s, v in d if s - t0 < 5)
    last = statistics.median(v for s, v in d if s - d[-1][0] > -5)
    worst = max(abs(v - first) for _, v in d)
    jumps = sum(1 for (_, x), (_, y) in zip(d, d[1:]) if abs(y - x) > 0.010)
    print(f"  clock {percent:+g} %: start {ms(first)} ms, end {ms(last)} ms, furthest from start "
          f"{ms(worst)} ms, jumps > 10 ms {jumps}, clicks lost {sent - len(d)} of {sent}")
    # A click's delay also swings within one 20 ms block as the two clocks slide past each other;
    # the median of each 10 s shows the queue's own level apart from that swing and lone stalls.
    levels = {}
    for s, v in d:
        levels.setdefault(int((s - t0) // 10), []).append(v)
    medians = [(k * 10, statistics.median(v)) for k, v in sorted(levels.items())]
    level_worst = max(abs(v - first) for _, v in medians)
    beyond = sum(1 for _, v in d if abs(v - first) > 0.020)
    print(f"    10 s medians furthest from start {ms(level_worst)} ms; clicks more than 20 ms from "
          f"start: {beyond} of {len(d)}")
    steps = max(1, len(medians) // 8)
    print("    10 s medians over time (s: ms): " + ", ".join(
        f"{t}: {v * 1000:.0f}" for t, v in medians[::steps]))
    with open(os.path.join(outdir, f"drift{percent:+g}.delays"), "w") as f:
        f.writelines(f"{s - t0:.3f} {v * 1000:.1f}\n" for s, v in d)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build", help="build folder holding bin/ (build)")
    ap.add_argument("--seconds", type=float, default=20, help="main run length (20)")
    ap.add_argument("--late-at", type=float, default=10,
                    help="how long the phone streams before a microphone recorder joins (10)")
    ap.add_argument("--drift-seconds", type=float, default=20,
                    help="length of each 1 %% fast/slow clock run (20; 300 for five minutes)")
    ap.add_argument("--no-pipewire", action="store_true", help="leave out the PipeWire runs")
    ap.add_argument("--pipewire-only", action="store_true", help="only the PipeWire runs")
    args = ap.parse_args()
    for tool in ("pulseaudio", "pactl", "parec", "ffmpeg"):
        if not shutil.which(tool):
            sys.exit(f"latency: {tool} is needed")
    bench = Bench(args)
    if not args.pipewire_only:
        try:
            bench.start_sound_server()
            fifo = bench.fifo_baseline(min(args.seconds, 10))
            bench.start_program()
            camera, early, sendlog, h264 = bench.main_run(args.seconds)
            late_sends, late_heard, late_started = bench.late_run(args.late_at + 10, args.late_at)
            drifts = [(p, *bench.drift_run(p, args.drift_seconds)) for p in (1, -1)]
        finally:
            bench.stop_all()
    pw = None
    if not args.no_pipewire and all(shutil.which(t) for t in (
            "pipewire", "wireplumber", "pipewire-pulse", "pw-dump", "gst-launch-1.0",
            "dbus-run-session")):
        pwbench = Bench(args)
        try:
            pwbench.start_pipewire()
            # kivocam-vmic alone, fed by the plain writer, before kivocam takes the pipe.
            pwfifo = pwbench.fifo_baseline(min(args.seconds, 10),
                                           (None, pwbench.native("KivoMic")))
            pwbench.start_program()
            pw = pwbench.pipewire_run(args.seconds)
        except SystemExit as e:  # the PulseAudio figures above still get printed
            print(e)
        finally:
            # kivocam-vmic runs in the background, started by the driver tool: stop it too.
            subprocess.run([os.path.join(pwbench.bin, "kivocam-vmic"), "--stop"],
                           env=pwbench.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            pwbench.stop_all()
    print(f"latency: 1280x720 at 30 fps, {args.seconds:g} s, clicks every {CLICK_MS} ms "
          f"(files in {bench.dir})")
    if not args.pipewire_only:
        report_pulse(args, bench, camera, early, sendlog, h264, fifo, late_sends, late_heard,
                     late_started, drifts)
    if pw is None:
        print("PipeWire runs left out (--no-pipewire, PipeWire not installed, or it failed)")
        return
    camera, early, native, pwsendlog = pw
    print(f"on a private PipeWire graph (files in {pwbench.dir})")
    report_camera(camera, pwsendlog, float("nan") if args.pipewire_only else bench.decode_only(h264),
                  "PipeWire camera (send -> pipewiresrc)    ")
    _, pwclicks = read_send_log(pwsendlog)
    print("PipeWire microphone, one recorder of each kind at once   median / p99 (ms)   "
          "plain FIFO writer into kivocam-vmic")
    report_mic("parec through pipewire-pulse", match(pwclicks, early.clicks()), pwfifo[0])
    report_mic(f"native recorder ({NATIVE_QUANTUM} samples)", match(pwclicks, native.clicks()),
               pwfifo[1])


def report_pulse(args, bench, camera, early, sendlog, h264, fifo, late_sends, late_heard,
                 late_started, drifts):
    report_camera(camera, sendlog, bench.decode_only(h264))
    report_inside(camera, sendlog, bench.log)
    _, clicks = read_send_log(sendlog)
    print("microphone (send -> parec on KivoMic)      median / p99 (ms)   plain FIFO writer")
    report_mic("recorder from the start", match(clicks, early.clicks()), fifo)
    # Sound sent more than the delay target before the recorder came is stale: whatever the
    # recorder heard beyond the clicks sent since then.
    fresh = [s for s in late_sends if s >= late_started - 0.08]
    stale = max(0, len(late_heard) - len(fresh))
    late_pairs = match(fresh, late_heard[stale:])
    report_mic(f"recorder joining {args.late_at:g} s into a stream", late_pairs, fifo,
               f"   stale clicks {stale}")
    print(f"microphone under a phone clock 1 % off, {args.drift_seconds:g} s each")
    for percent, pairs, sent in drifts:
        report_drift(percent, pairs, sent, bench.dir)


if __name__ == "__main__":
    main()
