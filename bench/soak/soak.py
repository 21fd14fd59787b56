#!/usr/bin/env python3
"""A long working day, compressed: kivocam under a phone that streams 1920x1080 at 30 fps with
sound, reconnects its media connection every minute and ends and restarts its session every three
minutes, with the virtual microphone open and read, and a two-minute recording in the middle.

Run inside the sandbox, from the source folder:
    scripts/in-sandbox.sh python3 bench/soak/soak.py [MINUTES] --build build
Every 30 s it prints kivocam's resident memory, threads, open descriptors and frame-pool bytes;
it ends with a verdict and exits non-zero when any part of it fails.
"""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from kivorun import QUIET, Rig, now  # noqa: E402

SESSION_S = 180
SAMPLE_S = 30


def proc_figures(pid):
    """Resident memory (MiB), threads and open descriptors of a running process."""
    with open(f"/proc/{pid}/status") as f:
        status = f.read()
    rss = int(re.search(r"VmRSS:\s+(\d+) kB", status).group(1)) / 1024
    threads = int(re.search(r"Threads:\s+(\d+)", status).group(1))
    return rss, threads, len(os.listdir(f"/proc/{pid}/fd"))


def pool_bytes(log):
    """The last frame-pool line kivocam logged: (held, cached) bytes, or None."""
    last = None
    with open(log, errors="replace") as f:
        for line in f:
            m = re.search(r"\[stats\]frame pool: (\d+) bytes held, (\d+) cached", line)
            if m:
                last = (int(m.group(1)), int(m.group(2)))
    return last


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                          "format=duration:stream=codec_name", "-of", "json", path],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return None
    info = json.loads(out.stdout)
    codecs = sorted(s["codec_name"] for s in info.get("streams", []))
    return float(info["format"]["duration"]), codecs


def playable(path):
    """Decodes the whole file; True when FFmpeg reports no error."""
    out = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                         capture_output=True, text=True)
    return out.returncode == 0 and not out.stderr.strip()


class Soak(Rig):
    def __init__(self, args):
        super().__init__(args.build, "soak")
        self.args = args
        self.samples = []  # (minute, rss MiB, threads, fds, pool held, recording)
        self.sessions = []  # exit codes of the phone's sessions
        # The recording: two minutes in the middle, kept clear of a session's end.
        total = args.minutes * 60
        self.rec_from = max(0.0, total / 2 - 75)
        self.rec_to = min(total, self.rec_from + 120)

    def phone(self, seconds, record):
        cmd = [os.path.join(self.bin, "kivocam-phonesim"), "--duration", str(seconds),
               "--discovery-timeout", "10", "--size", "1920x1080", "--fps", "30",
               "--rate", "48000", "--reconnect-every", "60"]
        for at, action in record:
            cmd += ["--at", f"{at:.0f}:{action}"]
        return self.start(cmd, **QUIET)

    def run(self):
        minutes = self.args.minutes
        total = minutes * 60
        rec_from, rec_to = self.rec_from, self.rec_to
        self.start_sound_server()
        kivocam = self.start_program()
        self.start(["parec", "-d", "KivoMic", "--format=s16le", "--rate=48000", "--channels=1",
                    "--raw", "/dev/null"], **QUIET)
        t0 = now()
        next_sample = 0.0
        sim = None
        session_end = 0.0
        print(f"soak: {minutes:g} min, 1920x1080 at 30 fps, media reconnect every 60 s, new "
              f"session every {SESSION_S} s, recording from {rec_from / 60:.1f} to "
              f"{rec_to / 60:.1f} min (files in {self.dir})")
        print(" min   RSS MiB  threads  fds  frame pool MiB")
        while True:
            t = now() - t0
            if kivocam.poll() is not None:
                sys.exit(f"soak: kivocam ended with {kivocam.returncode} at {t / 60:.1f} min")
            if sim is not None and sim.poll() is not None:
                self.sessions.append(sim.returncode)
                sim = None
            if sim is None and t < total - 5:
                length = min(SESSION_S, total - t)
                record = []
                if t <= rec_from < t + length:
                    record.append((rec_from - t, "record-start"))
                if t < rec_to <= t + length:
                    record.append((rec_to - t, "record-stop"))
                sim = self.phone(length, record)
                session_end = t + length
            if t >= next_sample:
                rss, threads, fds = proc_figures(kivocam.pid)
                pool = pool_bytes(self.log)
                held = pool[0] / 2**20 if pool else float("nan")
                recording = rec_from <= t < rec_to
                self.samples.append((t / 60, rss, threads, fds, held, recording))
                print(f"{t / 60:4.1f}  {rss:8.1f}  {threads:7d}  {fds:3d}  {held:14.1f}"
                      f"{'  recording' if recording else ''}", flush=True)
                next_sample += SAMPLE_S
            if t >= total and (sim is None or t > session_end + 15):
                break
            time.sleep(0.2)
        if sim is not None:
            sim.wait(30)
            self.sessions.append(sim.returncode)

    def verdict(self):
        ok = True

        def judge(good, text):
            nonlocal ok
            ok &= good
            print(f"  {'ok  ' if good else 'FAIL'} {text}")

        print("verdict")
        settled = [s for s in self.samples if s[0] >= 1 and not s[5]]
        if len(settled) >= 2:
            first, last = settled[0], settled[-1]
            growth = (last[1] - first[1]) / first[1] * 100
            judge(abs(growth) <= 5, f"memory after the first minute: {first[1]:.1f} -> "
                  f"{last[1]:.1f} MiB ({growth:+.1f} %, limit 5 %)")
            judge(last[2] <= first[2], f"threads: {first[2]} -> {last[2]}")
            judge(last[3] <= first[3], f"open descriptors: {first[3]} -> {last[3]}")
            if first[4] == first[4] and last[4] == last[4]:
                print(f"       frame pool: {first[4]:.1f} -> {last[4]:.1f} MiB")
        else:
            judge(False, "too few samples outside the recording to judge memory")
        printed = open(self.output, errors="replace").read()
        full = len(re.findall(r"Packet queue full", printed))
        failed = len(re.findall(r"Could not (send video packet|receive video frame|process frame)",
                                printed))
        judge(full == 0 and failed == 0, f"pictures lost before the newest-frame buffer: queue "
              f"full {full} times, decode failures {failed}")
        judge(bool(self.sessions) and all(c == 0 for c in self.sessions),
              f"phone sessions ended cleanly: exit codes {self.sessions}")
        files = glob.glob(os.path.join(self.env["HOME"], "**", "*.mp4"), recursive=True)
        if len(files) != 1:
            judge(False, f"one recording expected, found {len(files)}")
        else:
            info = probe(files[0])
            want = self.rec_to - self.rec_from
            good = (info is not None and info[1] == ["aac", "h264"] and
                    abs(info[0] - want) <= want * 0.05 and playable(files[0]))
            judge(good, f"recording {os.path.basename(files[0])}: "
                  f"{info if info else 'unreadable'}, expected about {want:.0f} s, playable")
        return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("minutes", nargs="?", type=float, default=10, help="run length (10)")
    ap.add_argument("--build", default="build", help="build folder holding bin/ (build)")
    args = ap.parse_args()
    for tool in ("pulseaudio", "pactl", "parec", "ffmpeg", "ffprobe"):
        if not shutil.which(tool):
            sys.exit(f"soak: {tool} is needed")
    soak = Soak(args)
    try:
        soak.run()
    finally:
        soak.stop_all()
    sys.exit(0 if soak.verdict() else 1)


if __name__ == "__main__":
    main()
