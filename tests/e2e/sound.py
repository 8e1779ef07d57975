"""What an operator hears, for the end-to-end tests: a private sound server
(PulseAudio, or PipeWire as a desktop runs it) with null sinks, their
monitors recorded with parec, and the recordings measured (level, tone, when
sound starts)."""

import math
import os
import struct
import subprocess
import threading
import time
import wave

RATE = 44100


def end_process(process, grace=5):
    """Asks a process to end, and ends it when it does not within `grace` seconds."""
    if process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(grace)


class SoundServer:
    """A PulseAudio daemon of our own, with one null sink per name."""

    def __init__(self, folder, sinks):
        self.folder = folder
        self.socket = os.path.join(folder, "pulse.sock")
        client_conf = os.path.join(folder, "client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")
        self.env = {
            "PULSE_SERVER": "unix:" + self.socket,
            "PULSE_CLIENTCONFIG": client_conf,
        }
        args = ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                "--log-target=file:" + os.path.join(folder, "pulse.log"),
                "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % self.socket]
        for sink in sinks:
            args += ["-L", "module-null-sink sink_name=%s rate=%d sink_properties="
                           "device.description=%s" % (sink, RATE, sink)]
        env = dict(os.environ, HOME=folder, XDG_RUNTIME_DIR=folder, **self.env)
        self.process = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("pulseaudio ended at start: " + self.log())
            if os.path.exists(self.socket) and self._answers():
                return
            time.sleep(0.1)
        raise RuntimeError("pulseaudio did not start: " + self.log())

    def _answers(self):
        return subprocess.run(["pactl", "info"], env=dict(os.environ, **self.env),
                              capture_output=True, timeout=5).returncode == 0

    def log(self):
        try:
            with open(os.path.join(self.folder, "pulse.log")) as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=dict(os.environ, **self.env),
                              capture_output=True, text=True, timeout=10)

    def plug(self, sink):
        """A sink appears, as a USB interface plugged in; its module number."""
        done = self.pactl("load-module", "module-null-sink", "sink_name=%s" % sink,
                          "rate=%d" % RATE, "sink_properties=device.description=%s" % sink)
        if done.returncode != 0:
            raise RuntimeError("pactl load-module: " + done.stderr)
        return int(done.stdout.strip())

    def unplug(self, module):
        if self.pactl("unload-module", str(module)).returncode != 0:
            raise RuntimeError("pactl unload-module %d failed" % module)

    def stop(self):
        end_process(self.process)


class PipeWireServer(SoundServer):
    """PipeWire as a desktop runs it: the daemon, its session manager on a bus
    of its own (kept off the machine's real devices), and its server for
    PulseAudio clients, through which the sinks are made and recorded."""

    def __init__(self, folder, sinks):
        self.folder = folder
        config = os.path.join(folder, "config")
        for sub in ("main.lua.d", "bluetooth.lua.d"):
            os.makedirs(os.path.join(config, "wireplumber", sub), exist_ok=True)
        with open(os.path.join(config, "wireplumber", "main.lua.d", "51-private.lua"), "w") as f:
            f.write("alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
                    "libcamera_monitor.enabled = false\n")
        with open(os.path.join(config, "wireplumber", "bluetooth.lua.d", "51-private.lua"),
                  "w") as f:
            f.write("bluez_monitor.enabled = false\n")
        client_conf = os.path.join(folder, "client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")
        bus = os.path.join(folder, "bus")
        self.env = {
            "PULSE_SERVER": "unix:" + os.path.join(folder, "pulse", "native"),
            "PULSE_CLIENTCONFIG": client_conf,
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + bus,
            "XDG_RUNTIME_DIR": folder,
        }
        env = dict(os.environ, HOME=folder, XDG_CONFIG_HOME=config, **self.env)
        for name in ("PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE"):
            env.pop(name, None)
        self.processes = []

        def start(args, ready):
            log = open(os.path.join(folder, args[0] + ".log"), "w")
            self.processes.append(subprocess.Popen(args, env=env, stdout=log, stderr=log))
            deadline = time.monotonic() + 15
            while not ready():
                if time.monotonic() > deadline or any(p.poll() is not None
                                                      for p in self.processes):
                    self.stop()
                    raise RuntimeError("%s did not start: %s" % (args[0], self.log()))
                time.sleep(0.05)

        start(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + bus],
              lambda: os.path.exists(bus))
        start(["pipewire"], lambda: os.path.exists(os.path.join(folder, "pipewire-0")))
        start(["wireplumber"], lambda: True)
        start(["pipewire-pulse"], self._answers)
        for sink in sinks:
            self.plug(sink)
        # The session manager keeps the default; it may not have seen the sink yet.
        deadline = time.monotonic() + 15
        while self.pactl("set-default-sink", sinks[0]).returncode != 0 or \
                self.pactl("get-default-sink").stdout.strip() != sinks[0]:
            if time.monotonic() > deadline:
                raise RuntimeError("no default sink: " + self.log())
            time.sleep(0.1)

    def log(self):
        text = ""
        for name in ("pipewire", "wireplumber", "pipewire-pulse"):
            try:
                with open(os.path.join(self.folder, name + ".log")) as f:
                    text += "\n--- %s\n%s" % (name, f.read()[-800:])
            except OSError:
                pass
        return text

    def stop(self):
        for process in reversed(self.processes):
            end_process(process)


class Recorder:
    """Records a sink's monitor from now on; every chunk carries its arrival time."""

    def __init__(self, server, sink):
        self.process = subprocess.Popen(
            ["parec", "--latency-msec=5", "-d", sink + ".monitor", "--format=s16le",
             "--rate=%d" % RATE, "--channels=2", "--raw"],
            env=dict(os.environ, **server.env), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.data = bytearray()
        self.arrivals = []  # (time, frames recorded so far)
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()
        deadline = time.monotonic() + 5
        while not self.arrivals and time.monotonic() < deadline:
            time.sleep(0.01)

    def _read(self):
        fd = self.process.stdout.fileno()
        while True:
            chunk = os.read(fd, 4096)
            if not chunk:
                return
            now = time.monotonic()
            with self._lock:
                self.data += chunk
                self.arrivals.append((now, len(self.data) // 4))

    def frames(self):
        with self._lock:
            return len(self.data) // 4

    def left(self, start=0, end=None):
        """Left channel samples, -1..1, of frames start..end."""
        with self._lock:
            raw = bytes(self.data[start * 4:(end * 4 if end is not None else None)])
        samples = struct.unpack("<%dh" % (len(raw) // 2), raw)[0::2]
        return [s / 32768.0 for s in samples]

    def time_of_frame(self, frame):
        """When a frame was recorded, from the arrival of the chunk holding it."""
        with self._lock:
            for arrived, total in self.arrivals:
                if total > frame:
                    return arrived - (total - frame) / RATE
        return None

    def stop(self):
        end_process(self.process)
        self._thread.join(2)


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0


def tone(samples, frequency):
    """Amplitude of one frequency in the samples (Goertzel)."""
    if not samples:
        return 0.0
    k = 2 * math.cos(2 * math.pi * frequency / RATE)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + k * s1 - s2, s1
    power = s1 * s1 + s2 * s2 - k * s1 * s2
    return 2 * math.sqrt(max(power, 0.0)) / len(samples)


def first_sound(samples, threshold=0.02):
    for i, s in enumerate(samples):
        if abs(s) > threshold:
            return i
    return None


def write_tone(path, frequency, seconds, amplitude=0.4):
    """A stereo 16-bit WAV of one sine, loud from its first sample."""
    frames = int(RATE * seconds)
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        out = bytearray()
        for i in range(frames):
            # A cosine starts at its peak: the first sample is already loud.
            v = int(amplitude * 32767 * math.cos(2 * math.pi * frequency * i / RATE))
            out += struct.pack("<hh", v, v)
        w.writeframes(bytes(out))
