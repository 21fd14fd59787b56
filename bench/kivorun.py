"""Runs kivocam the way the benchmarks need it: private folders, a private PulseAudio server with
the virtual microphone installed, and every process stopped at the end. Run inside the sandbox
(scripts/in-sandbox.sh) so discovery only ever sees loopback."""
import json
import os
import subprocess
import sys
import tempfile
import time

QUIET = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def now():
    return time.clock_gettime(time.CLOCK_MONOTONIC)


class Rig:
    def __init__(self, build, name):
        self.name = name
        self.bin = os.path.abspath(os.path.join(build, "bin"))
        self.dir = tempfile.mkdtemp(prefix=f"kivocam-{name}-")
        env = dict(os.environ)
        for var, sub in [("HOME", "home"), ("XDG_CONFIG_HOME", "config"),
                         ("XDG_STATE_HOME", "state"), ("XDG_RUNTIME_DIR", "runtime"),
                         ("PULSE_RUNTIME_PATH", "pulse")]:
            env[var] = os.path.join(self.dir, sub)
            os.makedirs(env[var], mode=0o700, exist_ok=True)
        env["PULSE_STATE_PATH"] = os.path.join(self.dir, "pulse", "state")
        env["PULSE_SERVER"] = "unix:" + os.path.join(self.dir, "pulse", "native")
        env["KIVOCAM_SHM_NAME"] = f"Kivo{name.capitalize()}{os.getpid()}"
        # Only a PipeWire graph of the run's own (in its runtime folder), never the desktop's.
        env.pop("PIPEWIRE_REMOTE", None)
        env.pop("PIPEWIRE_RUNTIME_DIR", None)
        env.setdefault("KIVOCAM_ADAPTERS", "lo0|Loopback adapter|127.0.0.2")
        env["KIVOCAM_LOG_LEVEL"] = "4"
        self.env = env
        self.procs = []
        self.log = os.path.join(env["XDG_STATE_HOME"], "KivoCam", "kivocam.log")

    def start(self, cmd, **kw):
        p = subprocess.Popen(cmd, env=self.env, **kw)
        self.procs.append(p)
        return p

    def wait_for(self, what, check, seconds=15):
        deadline = now() + seconds
        while now() < deadline:
            if check():
                return
            time.sleep(0.05)
        sys.exit(f"{self.name}: {what} did not happen within {seconds} s (files in {self.dir})")

    def start_sound_server(self):
        sock = self.env["PULSE_SERVER"][5:]
        self.start(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                    "--use-pid-file=no", "--system=no", "--disable-shm=yes", "-L",
                    f"module-native-protocol-unix auth-anonymous=1 socket={sock}", "-L",
                    "module-null-sink sink_name=BenchSpeakers rate=48000 channels=1", "-L",
                    "module-always-sink"], **QUIET)
        self.wait_for("the sound server", lambda: subprocess.run(
            ["pactl", "info"], env=self.env, **QUIET).returncode == 0)
        devcon = os.path.join(self.bin, "Drivers", "x64", "devcon")
        subprocess.run([devcon, "/r", "install", "KivoVirtualAudioDevice.inf",
                        "*KivoWaveExtensible"], env=self.env, check=True, **QUIET)

    def start_program(self):
        """kivocam with the virtual microphone switched on; returns once its window is up. What it
        prints (Qt's and FFmpeg's messages) goes to self.output."""
        os.makedirs(os.path.join(self.env["XDG_CONFIG_HOME"], "KivoCam"), exist_ok=True)
        with open(os.path.join(self.env["XDG_CONFIG_HOME"], "KivoCam", "settings.json"), "w") as f:
            json.dump({"cfg_open_vmic": "1"}, f)
        self.output = os.path.join(self.dir, "kivocam.out")
        with open(self.output, "wb") as out:
            self.kivocam = self.start([os.path.join(self.bin, "kivocam")], stdout=out,
                                      stderr=subprocess.STDOUT)
        self.wait_for("kivocam start-up", lambda: os.path.exists(self.log) and
                      "main window ready" in open(self.log, errors="replace").read())
        return self.kivocam

    def stop_all(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
