"""What an operator hears, for the end-to-end tests: a private sound server
(PulseAudio, or PipeWire as a desktop runs it) with null sinks, their
monitors recorded with parec, and the recordings measured (level, tone, when
sound starts)."""

import math
import os
import pathlib
import struct
import subprocess
import threading
import time
import wave

RATE = 44100


def until(condition, timeout=5.0):
    """Polls `condition` until it holds or the time runs out; its last answer."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(0.05)


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
    """A PulseAudio daemon of our own, with one null sink per name, the first the default."""

    def __init__(self, folder, sinks):
        self.folder, self.processes = folder, []
        self.env = {"PULSE_CLIENTCONFIG": os.path.join(folder, "client.conf")}
        pathlib.Path(self.env["PULSE_CLIENTCONFIG"]).write_text("autospawn = no\n")
        self._serve()
        for sink in sinks:
            self.plug(sink)
        # A session manager keeps the default; it may not have seen the sink yet.
        if not until(lambda: self.pactl("set-default-sink", sinks[0]).returncode == 0
                     and self.pactl("get-default-sink").stdout.strip() == sinks[0], 15):
            self.stop()
            raise RuntimeError("no default sink: " + self.log())

    def _serve(self):
        socket = os.path.join(self.folder, "pulse.sock")
        self.env["PULSE_SERVER"] = "unix:" + socket
        self._start(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                     "--disallow-exit", "--log-target=stderr",
                     "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % socket],
                    dict(os.environ, HOME=self.folder, XDG_RUNTIME_DIR=self.folder, **self.env),
                    lambda: self.pactl("info").returncode == 0)

    def _start(self, args, env, ready):
        """Starts one process of the server, its output in a log, and waits until it is ready."""
        with open(os.path.join(self.folder, args[0] + ".log"), "w") as log:
            self.processes.append(subprocess.Popen(args, env=env, stdout=log, stderr=log))
        ended = lambda: any(p.poll() is not None for p in self.processes)  # noqa: E731
        if not until(lambda: ended() or ready(), 15) or ended():
            self.stop()
            raise RuntimeError("%s did not start: %s" % (args[0], self.log()))

    def log(self):
        """The end of what each of the server's processes wrote."""
        logs = [pathlib.Path(self.folder, p.args[0] + ".log") for p in self.processes]
        return "".join("\n--- %s\n%s" % (log.name, log.read_text(errors="replace")[-1000:])
                       for log in logs)

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
        for process in reversed(self.processes):
            end_process(process)


class PipeWireServer(SoundServer):
    """PipeWire as a desktop runs it: the daemon, its session manager on a bus
    of its own (kept off the machine's real devices), and its server for
    PulseAudio clients, through which the sinks are made and recorded."""

    def _serve(self):
        folder = self.folder
        config = os.path.join(folder, "config")
        for sub, text in (("main.lua.d", "alsa_monitor.enabled = false\n"
                           "v4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n"),
                          ("bluetooth.lua.d", "bluez_monitor.enabled = false\n")):
            os.makedirs(os.path.join(config, "wireplumber", sub))
            pathlib.Path(config, "wireplumber", sub, "51-private.lua").write_text(text)
        bus = os.path.join(folder, "bus")
        self.env.update(PULSE_SERVER="unix:" + os.path.join(folder, "pulse", "native"),
                        DBUS_SESSION_BUS_ADDRESS="unix:path=" + bus, XDG_RUNTIME_DIR=folder)
        env = dict(os.environ, HOME=folder, XDG_CONFIG_HOME=config, **self.env)
        for name in ("PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE"):
            env.pop(name, None)
        self._start(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--address=unix:path=" + bus], env, lambda: os.path.exists(bus))
        self._start(["pipewire"], env, lambda: os.path.exists(os.path.join(folder, "pipewire-0")))
        self._start(["wireplumber"], env, lambda: True)
        self._start(["pipewire-pulse"], env, lambda: self.pactl("info").returncode == 0)


class Recorder:
    """Records a sink's monitor from now on; every chunk carries its arrival time.
    Used in a `with` block, it stops at the block's end."""

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
        until(lambda: self.arrivals, 5)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

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

    def onset(self, frame, threshold=0.02):
        """When sound first rose in the recording from `frame` on; None while silent."""
        found = next((i for i, s in enumerate(self.left(frame)) if abs(s) > threshold), None)
        return None if found is None else self.time_of_frame(frame + found)

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


def write_tone(path, frequency, seconds, amplitude=0.4):
    """A stereo 16-bit WAV of one sine, loud from its first sample."""
    out = bytearray()
    for i in range(int(RATE * seconds)):
        # A cosine starts at its peak: the first sample is already loud.
        v = int(amplitude * 32767 * math.cos(2 * math.pi * frequency * i / RATE))
        out += struct.pack("<hh", v, v)
    with wave.open(path, "wb") as w:
        w.setparams((2, 2, RATE, 0, "NONE", "not compressed"))
        w.writeframes(bytes(out))
