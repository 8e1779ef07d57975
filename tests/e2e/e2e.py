#!/usr/bin/env python3
"""End-to-end tests: the real Tambrel on a real X server (Xvfb) and a real
sound server (PulseAudio with null sinks "OnAir" and "Cue"; the core scenario
again on PipeWire with the same sinks), driven only from outside as an
operator would, checked only by what an operator could see,
hear or find in the program's folder.

Usage: e2e.py TAMBREL_EXECUTABLE [--screenshot PNG] [--install-prefix DIR]
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound  # noqa: E402
from x11 import Display, Screen  # noqa: E402

TWIPS = 15
LINE_COLOURS = [(41, 220, 149), (255, 128, 192), (128, 128, 192), (255, 128, 0),
                (255, 255, 128), (128, 255, 255), (255, 128, 128)]
RED = (255, 0, 0)
NOTICE = (255, 140, 0)  # a slot telling of a failure
YELLOW = (255, 255, 0)


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


class XServer:
    def __init__(self, width, height):
        for number in range(90, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and \
                    not os.path.exists("/tmp/.X%d-lock" % number):
                break
        self.name = ":%d" % number
        self.width, self.height = width, height
        self.process = subprocess.Popen(
            ["Xvfb", self.name, "-screen", "0", "%dx%dx24" % (width, height), "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while not os.path.exists("/tmp/.X11-unix/X%d" % number):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("Xvfb did not start on " + self.name)
            time.sleep(0.05)

    def stop(self):
        sound.end_process(self.process)


class Session:
    """One X server and one sound server, shared by the tests of one screen size."""

    def __init__(self, executable, width, height, pipewire=False):
        self.executable = executable
        self.folder = tempfile.mkdtemp(prefix="tambrel-e2e-")
        self.x = XServer(width, height)
        os.makedirs(os.path.join(self.folder, "pulse"))
        server = sound.PipeWireServer if pipewire else sound.SoundServer
        self.sound = server(os.path.join(self.folder, "pulse"), ["OnAir", "Cue"])
        home = os.path.join(self.folder, "home")
        os.makedirs(os.path.join(home, "Bureau"))
        os.makedirs(os.path.join(home, ".config"))
        with open(os.path.join(home, ".config", "user-dirs.dirs"), "w") as f:
            f.write('XDG_DESKTOP_DIR="$HOME/Bureau"\n')
        self.env = dict(os.environ, DISPLAY=self.x.name, HOME=home,
                        XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_RUNTIME_DIR=os.path.join(self.folder, "pulse"),
                        QT_QPA_PLATFORM="xcb")
        self.env.update(self.sound.env)
        # The program chooses its output as on a desktop: PipeWire's when its
        # daemon answers in the runtime folder, the PulseAudio server's if not.
        for name in ("QT_QPA_PLATFORMTHEME", "TAMBREL_AUDIO", "PIPEWIRE_RUNTIME_DIR",
                     "PIPEWIRE_REMOTE"):
            self.env.pop(name, None)
        self.display = Display(self.x.name, self.env)
        self.audio = os.path.join(self.folder, "audio")
        os.makedirs(self.audio)
        self.programs = []

    def program_folder(self, name):
        """A fresh program folder holding a copy of the program and the test audio."""
        folder = os.path.join(self.folder, name)
        os.makedirs(folder)
        shutil.copy2(self.executable, os.path.join(folder, "Tambrel"))
        return folder

    def start(self, folder, wait_for_main=True):
        program = Program(self, folder)
        self.programs.append(program)
        if wait_for_main:
            program.wait_main()
        return program

    def end_programs(self):
        for program in self.programs:
            program.kill()
        self.programs = []

    def stop(self):
        self.end_programs()
        self.sound.stop()
        self.x.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


class Program:
    """One running copy of Tambrel, seen from outside."""

    def __init__(self, session, folder):
        self.session = session
        self.folder = folder
        self.display = session.display
        self.process = subprocess.Popen([os.path.join(folder, "Tambrel")], env=session.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.window = None
        self.client = (0, 0)

    def wait_main(self, timeout=20.0):
        """Waits for the palette window and finds its client area on screen."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            expect(self.process.poll() is None, "the program ended at start")
            shot = self.screen()
            top = self._client_top(shot)
            if top is not None:
                windows = self.display.windows("^Tambrel$")
                expect(windows, "no window titled Tambrel")
                self.window = windows[-1]
                self.client = (0, top)
                self.display.focus(self.window)
                return
            time.sleep(0.2)
        raise AssertionError("the palette window did not appear")

    @staticmethod
    def _client_top(shot):
        # The sunken frame's top edge: three grey rows, 2 to 4 pixels into the client area.
        for y in range(0, min(120, shot.height - 5)):
            if all(shot.pixel(300, y + k) == (128, 128, 128) for k in range(3)):
                return y - 2
        return None

    def screen(self, png=None):
        x = self.session.x
        return Screen(self.display.screenshot(png), x.width, x.height)

    # Places of the controls, in screen pixels, from the layout in twips.
    def wide(self):
        return self.session.x.width == 1024

    def slot_centre(self, slot):
        column, line = slot % 4, slot // 4
        if self.wide():
            left, width = 420 + 3600 * column, 3600
        else:
            left, width = 420 + 2820 * column, 2835
        top = 1320 + 1020 * line
        return (self.client[0] + (left + width * 0.6) / TWIPS,
                self.client[1] + (top + 795 / 2) / TWIPS)

    def loop_marker(self, slot):
        # Just inside its top left corner, clear of the caption.
        column, line = slot % 4, slot // 4
        left = 420 + (3600 if self.wide() else 2820) * column + 600
        top = 1320 + 1020 * line - 240
        return (self.client[0] + left / TWIPS + 3, self.client[1] + top / TWIPS + 3)

    def palette_list(self):
        return (self.client[0] + (3240 + 2835 / 2) / TWIPS, self.client[1] + (420 + 180) / TWIPS)

    def output_list(self):
        left = 1024 * TWIPS - 2805 - 600 if self.wide() else 8880
        return (self.client[0] + (left + 2805 / 2) / TWIPS, self.client[1] + (420 + 157) / TWIPS)

    def menu(self, entry):
        # Where the menu bar's entries stand with the default font.
        x = {"Nouvelle Palette": 58, "Sauver Palette": 166, "Quitter": 298, "?": 338}[entry]
        return (x, self.client[1] // 2)

    def click(self, place):
        self.display.click(*place)

    def choose(self, place, entry_text):
        """Opens a drop-down list and picks the entry that starts with `entry_text`."""
        self.click(place)
        time.sleep(0.4)
        self.display.type_text(entry_text)
        self.display.key("Return")
        time.sleep(0.4)

    def button_colour(self, slot, shot=None):
        shot = shot or self.screen()
        x, y = self.slot_centre(slot)
        return shot.pixel(x + 20, y + 18)  # clear of the caption

    def ended(self, timeout):
        try:
            self.process.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(5)

    def ini(self):
        path = os.path.join(self.folder, "Tambrel.ini")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()


def until(condition, timeout=5.0):
    """Polls `condition` until it holds or the time runs out; its last answer."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(0.05)


def file_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def write_palette(folder, name, paths, volume=16384):
    lines = [p.replace("/", "\\") for p in paths] + [""] * (28 - len(paths))
    data = "".join(line + "\r\n" for line in lines) + (" %d \r\n" % volume) * 28
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data.encode("utf-8"))


def heard(recorder, start, end):
    """The recording between two frame numbers, as (level, 440 Hz, 660 Hz, 880 Hz).
    Each tone is the median of its amplitude over blocks of 2048 frames: a null
    sink that runs short drops a little of the stream, and the phase jump there
    would pull a whole-window measure down as if the slot had stopped."""
    samples = recorder.left(start, end)
    blocks = [samples[i:i + 2048] for i in range(0, max(len(samples) - 1024, 1), 2048)]
    return (sound.rms(samples),) + tuple(
        statistics.median(sound.tone(block, f) for block in blocks) for f in (440, 660, 880))


def press_and_record(session, program, sink, letter, seconds):
    """Presses a slot's letter, records the sink for a while, presses it again."""
    recorder = sound.Recorder(session.sound, sink)
    try:
        program.display.key(letter)
        window = wait_frames(recorder, seconds)
        program.display.key(letter)
    finally:
        recorder.stop()
    return recorder, window


def wait_frames(recorder, seconds):
    start = recorder.frames()
    time.sleep(seconds)
    return start, recorder.frames()


# ---------------------------------------------------------------------------
# The tests. Each takes the session and the shared test audio.

def test_start_up_with_no_palette(session, media):
    program = session.start(session.program_folder("fresh"))
    shot = program.screen()
    for line in range(7):
        expect(program.button_colour(4 * line, shot) == LINE_COLOURS[line],
               "slot %d shows %s, not its line colour" % (4 * line, program.button_colour(4 * line, shot)))
    expect(program.ini() is None, "the settings file was written at start")
    program.kill()


def test_palette_keys_mouse_loop_and_output(session, media):
    folder = session.program_folder("studio")
    write_palette(folder, "Matin.Bnk", [media["a440"], media["b880"], media["c660short"],
                                        media["d440"]])
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    on_air = sound.Recorder(session.sound, "OnAir")
    try:
        program.display.key("a")
        a_alone = wait_frames(on_air, 0.7)
        shot = program.screen(media.get("screenshot"))
        expect(program.button_colour(0, shot) == RED, "slot A is not red while it plays")
        program.click(program.slot_centre(1))
        both = wait_frames(on_air, 0.7)
        program.display.key("a")
        b_alone = wait_frames(on_air, 0.7)
        program.click(program.slot_centre(1))
        after = wait_frames(on_air, 0.7)
    finally:
        on_air.stop()
    skip = int(0.15 * sound.RATE)  # each change takes a moment to reach the monitor
    level, a, _, b = heard(on_air, a_alone[0] + skip, a_alone[1])
    expect(a > 0.2 and b < 0.02, "A alone: 440 Hz %.3f, 880 Hz %.3f" % (a, b))
    level, a, _, b = heard(on_air, both[0] + skip, both[1])
    expect(a > 0.2 and b > 0.2, "A and B together: 440 Hz %.3f, 880 Hz %.3f" % (a, b))
    level, a, _, b = heard(on_air, b_alone[0] + skip, b_alone[1])
    expect(a < 0.02 and b > 0.2, "B alone: 440 Hz %.3f, 880 Hz %.3f" % (a, b))
    level, a, _, b = heard(on_air, after[0] + skip, after[1])
    expect(level < 0.002, "silence after both stops: level %.4f" % level)

    # Loop: C typed with Ctrl held switches slot C's marker (the switch is on
    # the letter's release, Ctrl still down); its 0.4 s file keeps sounding.
    program.display.xdotool("keydown", "Control_L", "key", "c", "keyup", "Control_L")
    marker = lambda: program.screen().pixel(*program.loop_marker(2))
    expect(until(lambda: marker() == YELLOW, 2.0),
           "slot C's loop marker is %s, not yellow" % (marker(),))
    on_air = sound.Recorder(session.sound, "OnAir")
    try:
        program.display.key("c")
        looping = wait_frames(on_air, 1.6)
        program.display.key("c")
        stopped = wait_frames(on_air, 0.6)
    finally:
        on_air.stop()
    for second in (0.6, 1.0, 1.3):  # well past the end of the file
        start = looping[0] + int(second * sound.RATE)
        _, _, c, _ = heard(on_air, start, start + 4096)
        expect(c > 0.2, "the loop is silent %.1f s in: 660 Hz %.3f" % (second, c))
    level = heard(on_air, stopped[0] + skip, stopped[1])[0]
    expect(level < 0.002, "the loop did not stop: level %.4f" % level)

    # Output: the next jingle goes to "Cue", and only there.
    program.choose(program.output_list(), "Cue")
    cue = sound.Recorder(session.sound, "Cue")
    on_air = sound.Recorder(session.sound, "OnAir")
    try:
        program.display.key("d")
        window = wait_frames(cue, 0.8)
        on_air_window = (on_air.frames() - int(0.6 * sound.RATE), on_air.frames())
        program.display.key("d")
        time.sleep(0.2)
    finally:
        cue.stop()
        on_air.stop()
    _, a, _, _ = heard(cue, window[0] + skip, window[1])
    expect(a > 0.2, "nothing on Cue after the switch: 440 Hz %.3f" % a)
    level = heard(on_air, *on_air_window)[0]
    expect(level < 0.002, "OnAir still sounds after the switch: level %.4f" % level)

    # A new palette, saved from the menu.
    program.click(program.menu("Nouvelle Palette"))
    expect(program.display.wait_window("^Nouvelle palette$", 5), "no input box for the name")
    time.sleep(0.3)
    program.display.type_text("Soir")
    program.display.key("Return")
    path = os.path.join(folder, "Soir.Bnk")
    expect(until(lambda: os.path.exists(path)), "Soir.Bnk was not written")
    expect(file_bytes(path) == b"\r\n" * 28 + b" 16384 \r\n" * 28,
           "Soir.Bnk is not an empty palette")

    # Quit from the menu: the settings are written and the program ends.
    program.click(program.menu("Quitter"))
    expect(program.ended(10), "the program did not end after Quitter")
    ini = program.ini()
    expect(ini is not None and ini.startswith(b"Cue\r\n"), "Tambrel.ini: %r" % ini)
    expect(ini.split(b"\r\n")[1] == b" 9821225 ", "Tambrel.ini colours: %r" % ini)
    return folder


def test_key_on_air_then_cue_on_pipewire(session, media):
    folder = session.program_folder("pipewire")
    write_palette(folder, "Matin.Bnk", [media["a440"]])
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    skip = int(0.15 * sound.RATE)
    for sink in ("OnAir", "Cue"):
        if sink == "Cue":
            program.choose(program.output_list(), "Cue")
        other = "Cue" if sink == "OnAir" else "OnAir"
        chosen, elsewhere = sound.Recorder(session.sound, sink), sound.Recorder(session.sound, other)
        try:
            program.display.key("a")
            window = wait_frames(chosen, 0.8)
            program.display.key("a")
            time.sleep(0.2)
        finally:
            chosen.stop()
            elsewhere.stop()
        _, a, _, _ = heard(chosen, window[0] + skip, window[1])
        expect(a > 0.2, "nothing on %s: 440 Hz %.3f" % (sink, a))
        level = heard(elsewhere, 0, elsewhere.frames())[0]
        expect(level < 0.002, "%s sounds too: level %.4f" % (other, level))
    program.kill()
    told = program.process.stderr.read().decode("utf-8", "replace")
    expect("sortie audio : PipeWire" in told, "not played through PipeWire: %r" % told[-300:])


def test_restart_second_copy_close_and_damaged_settings(session, media, folder):
    # A restart restores the device and the colours the settings file holds.
    path = os.path.join(folder, "Tambrel.ini")
    with open(path, "rb") as f:
        lines = f.read().split(b"\r\n")
    lines[1] = b" 65280 "  # line 0 in green
    with open(path, "wb") as f:
        f.write(b"\r\n".join(lines))
    program = session.start(folder)
    expect(program.button_colour(1) == (0, 255, 0), "line 0 is %s, not the saved green"
           % (program.button_colour(1),))
    program.choose(program.palette_list(), "Matin")
    cue, window = press_and_record(session, program, "Cue", "a", 0.6)
    expect(heard(cue, window[0] + 6000, window[1])[1] > 0.2, "the restart did not play on Cue")

    # A second copy is refused while the first runs; nothing of the first changes.
    before = os.stat(path).st_mtime_ns
    count = len(program.display.windows("^Tambrel$"))
    second = session.start(folder, wait_for_main=False)
    deadline = time.monotonic() + 10
    while len(program.display.windows("^Tambrel$")) <= count and time.monotonic() < deadline:
        time.sleep(0.1)
    expect(len(program.display.windows("^Tambrel$")) > count, "no message from the second copy")
    box = program.display.windows("^Tambrel$")[-1]
    program.display.focus(box)
    program.display.key("Return")
    expect(second.ended(10), "the second copy did not end")
    expect(program.process.poll() is None, "the first copy ended too")
    expect(os.stat(path).st_mtime_ns == before, "the second copy touched Tambrel.ini")

    # Closing the window writes the settings and ends the program.
    os.remove(path)
    program.display.close_window(program.window)
    expect(program.ended(10), "the program did not end when its window closed")
    expect(program.ini() is not None and program.ini().startswith(b"Cue\r\n"),
           "closing did not write Tambrel.ini: %r" % program.ini())

    # A damaged settings file: reported, removed, the colours before the bad line kept.
    with open(path, "wb") as f:
        f.write(b"Cue\r\n 255 \r\nvert\r\n")
    program = session.start(folder, wait_for_main=False)
    expect(program.display.wait_window("^Tambrel$", 15), "no message for the damaged file")
    time.sleep(0.5)
    program.display.focus(program.display.windows("^Tambrel$")[-1])
    program.display.key("Return")
    program.wait_main()
    expect(not os.path.exists(path), "the damaged Tambrel.ini is still there")
    shot = program.screen()
    expect(program.button_colour(0, shot) == RED, "line 0 is %s, not the colour read before the "
           "bad line" % (program.button_colour(0, shot),))
    expect(program.button_colour(4, shot) == LINE_COLOURS[1], "line 1 lost its default colour")
    program.kill()


def test_wheel_held_key_devices_and_signals(session, media):
    """On air: a wheel over the lists and a held key change nothing; a sink
    plugged, unplugged and back is followed by name; a signal saves the settings."""
    folder = session.program_folder("on-air")
    write_palette(folder, "Matin.Bnk", [media["a440"], media["b880"], media["c660short"],
                                        media["d440"]])
    write_palette(folder, "Soir.Bnk", [])  # loading it would stop every slot
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    skip = int(0.15 * sound.RATE)

    on_air = sound.Recorder(session.sound, "OnAir")
    try:
        program.display.key("d")
        time.sleep(0.3)
        for place in (program.palette_list(), program.output_list()):
            program.display.xdotool("mousemove", str(int(place[0])), str(int(place[1])))
            for button in ("5", "5", "4", "5"):
                program.display.xdotool("click", button)
                time.sleep(0.05)
        wheeled = wait_frames(on_air, 0.6)
        program.display.key("d")
        time.sleep(0.3)
        # A letter held past the keyboard's repeat delay: one start, no more.
        program.display.xdotool("keydown", "b")
        held = wait_frames(on_air, 1.6)
        program.display.xdotool("keyup", "b")
        after = wait_frames(on_air, 0.5)
        program.display.key("b")
        time.sleep(0.2)
    finally:
        on_air.stop()
    _, a, _, _ = heard(on_air, wheeled[0] + skip, wheeled[1])
    expect(a > 0.2, "the wheel over the lists stopped or moved slot D: 440 Hz %.3f" % a)
    # Each repeat taken for a press would stop or start it: 25 times a second
    # from 0.66 s on, so about half of these windows would be silent.
    windows = [heard(on_air, start, start + 2048)[3]
               for start in range(held[0] + skip, after[1] - 2048, 2048)]
    sounding = sum(1 for b in windows if b > 0.2)
    expect(sounding >= 0.9 * len(windows) and windows[-1] > 0.2,
           "slot B held down sounds in %d of %d windows, last %.3f"
           % (sounding, len(windows), windows[-1]))

    # A headset plugged in while the program runs, chosen, unplugged, back.
    module = session.sound.plug("Casque")
    time.sleep(1.0)
    program.choose(program.output_list(), "Casque")
    program.display.key("d")  # left playing while the headset is unplugged
    casque = sound.Recorder(session.sound, "Casque")
    try:
        playing = wait_frames(casque, 0.8)
    finally:
        casque.stop()
    _, a, _, _ = heard(casque, playing[0] + skip, playing[1])
    expect(a > 0.2, "nothing on the headset once chosen: 440 Hz %.3f" % a)
    session.sound.unplug(module)
    time.sleep(0.6)
    shot = program.screen()
    expect(program.button_colour(3, shot) == NOTICE,
           "slot D does not show the lost headset: %s" % (program.button_colour(3, shot),))
    on_air = sound.Recorder(session.sound, "OnAir")
    try:
        time.sleep(2.0)
        program.display.key("d")  # the headset is absent: nothing sounds anywhere
        time.sleep(0.3)
        expect(program.button_colour(3) == NOTICE, "a press on an absent device shows nothing")
        quiet = wait_frames(on_air, 0.5)
    finally:
        on_air.stop()
    expect(heard(on_air, *quiet)[0] < 0.002, "the slot sounded on OnAir instead of the headset")
    module = session.sound.plug("Casque")
    time.sleep(1.0)
    casque, back = press_and_record(session, program, "Casque", "d", 0.8)
    _, a, _, _ = heard(casque, back[0] + skip, back[1])
    expect(a > 0.2, "the headset back is not played on: 440 Hz %.3f" % a)

    # Ended by a signal: the settings are saved as on closing, once per run.
    for signal_number, device in ((signal.SIGTERM, b"Casque"), (signal.SIGHUP, b"Cue"),
                                  (signal.SIGINT, b"OnAir")):
        if signal_number != signal.SIGTERM:
            program = session.start(folder)
            program.choose(program.output_list(), device.decode())
        ini = os.path.join(folder, "Tambrel.ini")
        if os.path.exists(ini):
            os.remove(ini)
        program.process.send_signal(signal_number)
        expect(program.ended(10), "the program did not end on signal %d" % signal_number)
        expect(program.process.returncode == 0, "signal %d: exit status %d"
               % (signal_number, program.process.returncode))
        expect(program.ini() is not None and program.ini().startswith(device + b"\r\n"),
               "signal %d: Tambrel.ini is %r" % (signal_number, program.ini()))
    session.sound.unplug(module)


def test_windows_palette(session, media):
    """A palette as the Windows program writes it (Windows-1252, CR LF, drive
    and share paths in other letter cases) plays through a symbolic link for
    its drive and a mapping line for its share, and is saved unchanged."""
    folder = session.program_folder("windows")
    copied = os.path.join(folder, "copie")
    os.makedirs(os.path.join(copied, "Jingles"))
    os.makedirs(os.path.join(folder, "pubs"))
    shutil.copy(media["a440"], os.path.join(copied, "Jingles", "G\u00e9n\u00e9rique.wav"))
    shutil.copy(media["b880"], os.path.join(folder, "pubs", "Pub 1.wav"))
    os.symlink(copied, os.path.join(folder, "C"))
    with open(os.path.join(folder, "Lecteurs.ini"), "wb") as f:
        f.write(b"# Studio B\r\n\\\\STUDIO\\Pubs=" + os.path.join(folder, "pubs").encode()
                + b"\r\n")
    lines = [b"C:\\JINGLES\\g\xe9n\xe9rique.wav", b"\\\\studio\\pubs\\PUB 1.wav"]
    data = b"".join(line + b"\r\n" for line in lines + [b""] * 26) + b" 16384 \r\n" * 28
    palette = os.path.join(folder, "Windows.Bnk")
    with open(palette, "wb") as f:
        f.write(data)
    program = session.start(folder)
    program.choose(program.palette_list(), "Windows")
    on_air = sound.Recorder(session.sound, "OnAir")
    try:
        program.display.key("a")
        program.display.key("b")
        both = wait_frames(on_air, 0.7)
        program.display.key("a")
        program.display.key("b")
        time.sleep(0.2)
    finally:
        on_air.stop()
    _, a, _, b = heard(on_air, both[0] + int(0.15 * sound.RATE), both[1])
    expect(a > 0.2 and b > 0.2, "the Windows palette: 440 Hz %.3f, 880 Hz %.3f" % (a, b))
    before = os.stat(palette).st_mtime_ns
    program.click(program.menu("Sauver Palette"))
    expect(until(lambda: os.stat(palette).st_mtime_ns != before), "Sauver Palette wrote nothing")
    expect(file_bytes(palette) == data, "saving changed the Windows palette's bytes")
    program.click(program.menu("Quitter"))
    expect(program.ended(10), "the program did not quit")


def sounded_ms(samples):
    """How long the recording held sound, in 10 ms blocks."""
    block = sound.RATE // 100
    return 10 * sum(1 for i in range(0, len(samples) - block + 1, block)
                    if sound.rms(samples[i:i + block]) > 0.02)


def journal_lines(folder):
    """The play lines of every day's file of the as-run log, split into fields."""
    lines = []
    journal = os.path.join(folder, "Journal")
    for name in sorted(os.listdir(journal)) if os.path.isdir(journal) else []:
        if name.endswith(".csv") and name[0].isdigit():
            text = file_bytes(os.path.join(journal, name)).decode("utf-8-sig")
            lines += [line.split(";") for line in text.split("\r\n")[1:] if line]
    return lines


def test_as_run_log(session, media):
    """Two plays heard on the sink are in the day's log with what sounded of
    them; a play cut by SIGKILL is found at the next start as interrupted."""
    folder = session.program_folder("journal")
    write_palette(folder, "Matin.Bnk", [media["a440"], media["d440"]])
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    on_air = sound.Recorder(session.sound, "OnAir")
    try:
        program.display.key("a")
        time.sleep(3.6)  # to its end
        program.display.key("b")
        time.sleep(1.2)
        program.display.key("b")
        time.sleep(0.4)
    finally:
        on_air.stop()
    samples = on_air.left()
    split = next(i for i in range(len(samples) - 1, 0, -1) if abs(samples[i]) > 0.02)
    heard_b = sounded_ms(samples[split - int(1.3 * sound.RATE):split + 1])
    heard_a = sounded_ms(samples[:split - int(1.3 * sound.RATE)])
    lines = until(lambda: len(journal_lines(folder)) >= 2 and journal_lines(folder), 5)
    expect(lines and len(lines) == 2, "the log holds %r" % (lines,))
    a, b = lines
    expect(a[2] == "A" and a[9] == "fin du fichier" and a[3] == "Matin.Bnk",
           "slot A's line: %r" % (a,))
    expect(b[2] == "B" and b[9] == "touche", "slot B's line: %r" % (b,))
    for line, heard_ms in ((a, heard_a), (b, heard_b)):
        expect(abs(int(line[7]) - heard_ms) <= 50,
               "slot %s aired %s ms in the log, %d ms at the sink" % (line[2], line[7], heard_ms))

    program.display.key("b")
    time.sleep(2.5)
    program.kill()  # SIGKILL: nothing of the program's own ending runs
    again = session.start(folder)
    lines = until(lambda: len(journal_lines(folder)) >= 3 and journal_lines(folder), 5)
    expect(lines and len(lines) == 3, "after the kill the log holds %r" % (lines,))
    cut = lines[-1]
    expect(cut[2] == "B" and cut[9] == "interrompu", "the interrupted play: %r" % (cut,))
    expect(abs(int(cut[7]) - 2500) <= 1000, "the interrupted play aired %s ms of 2500" % cut[7])
    print("as_run_log A aired %s ms, heard %d ms; B aired %s ms, heard %d ms; B killed after "
          "2500 ms: aired %s ms" % (a[7], heard_a, b[7], heard_b, cut[7]), flush=True)
    again.kill()


def osc_read(packet):
    """An OSC message as (path, [arguments]): int32 and string arguments."""
    def string(at):
        end = packet.index(b"\0", at)
        return packet[at:end].decode("utf-8", "replace"), (end + 4) & ~3
    path, at = string(0)
    types, at = string(at)
    args = []
    for tag in types[1:]:
        if tag == "i":
            args.append(struct.unpack(">i", packet[at:at + 4])[0])
            at += 4
        elif tag == "s":
            text, at = string(at)
            args.append(text)
    return path, args


def test_remote_control(session, media):
    """oscsend (liblo's own client) presses slot A of the real program: the
    tone is heard on the sink, and a subscriber is told A plays."""
    folder = session.program_folder("remote")
    write_palette(folder, "Matin.Bnk", [media["a440"]])
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("127.0.0.1", 0))
    listener.settimeout(3.0)

    def oscsend(*words):
        subprocess.run(["oscsend", "localhost", "9100", *words], check=True, timeout=10)

    def next_slot(slot, state):
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                path, args = osc_read(listener.recv(65536))
            except socket.timeout:
                return None
            if path == "/tambrel/slot" and args[0] == slot and args[1] == state:
                return args
        return None

    try:
        oscsend("/tambrel/subscribe", "i", str(listener.getsockname()[1]))
        ready = next_slot(0, "pret")
        expect(ready is not None and ready[2] == "a440", "the subscriber was not told A: %r"
               % (ready,))
        on_air = sound.Recorder(session.sound, "OnAir")
        try:
            oscsend("/tambrel/press", "i", "0")
            playing = next_slot(0, "joue")
            window = wait_frames(on_air, 0.7)
            oscsend("/tambrel/press", "i", "0")
            stopped = next_slot(0, "pret")
        finally:
            on_air.stop()
    finally:
        listener.close()
    expect(playing is not None, "the subscriber was not told A plays")
    expect(stopped is not None, "the subscriber was not told A stopped")
    _, a, _, _ = heard(on_air, window[0] + int(0.15 * sound.RATE), window[1])
    expect(a > 0.2, "the press from afar was not heard: 440 Hz %.3f" % a)


def measure_latency(session, media, presses=20):
    folder = session.program_folder("latency")
    write_palette(folder, "Latence.Bnk", [media["a440"]])
    program = session.start(folder)
    program.choose(program.palette_list(), "Latence")
    delays = []
    on_air = sound.Recorder(session.sound, "OnAir")
    try:
        for _ in range(presses):
            time.sleep(0.25)
            mark = on_air.frames()
            sent = program.display.press("a")
            deadline = time.monotonic() + 2
            start = None
            while start is None and time.monotonic() < deadline:
                time.sleep(0.01)
                found = sound.first_sound(on_air.left(mark))
                start = None if found is None else mark + found
            program.display.press("a")
            expect(start is not None, "a press was never heard")
            delays.append((on_air.time_of_frame(start) - sent) * 1000)
            time.sleep(0.2)
    finally:
        on_air.stop()
        program.kill()
    print("latency_key_to_sound_ms min %.1f median %.1f max %.1f (%d presses)"
          % (min(delays), statistics.median(delays), max(delays), len(delays)), flush=True)
    # A figure, not a bound: only a player path gone wrong fails it.
    expect(statistics.median(delays) <= 50,
           "key to sound: median %.1f ms" % statistics.median(delays))


def test_installation(session, media, prefix):
    build = os.path.dirname(session.executable)
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL, timeout=120)
    program_folder = os.path.join(prefix, "lib", "tambrel")
    expect(os.access(os.path.join(program_folder, "Tambrel"), os.X_OK), "no installed program")
    entry = os.path.join(prefix, "share", "applications", "tambrel.desktop")
    checked = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    expect(checked.returncode == 0, "desktop entry: " + checked.stdout + checked.stderr)
    with open(entry) as f:
        expect("Exec=%s/Tambrel\n" % program_folder in f.read(), "the entry starts another program")
    expect(os.path.exists(os.path.join(prefix, "share", "icons", "hicolor", "256x256", "apps",
                                       "tambrel.png")), "no icon installed")
    program = session.start(program_folder)
    program.click(program.menu("Quitter"))
    expect(program.ended(10), "the installed program did not quit")
    expect(program.ini() is not None, "the installed program keeps no settings beside itself")
    launcher = os.path.join(session.env["HOME"], "Bureau", "Tambrel.desktop")
    expect(os.path.exists(launcher), "no launcher on the desktop")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--screenshot")
    parser.add_argument("--install-prefix")
    args = parser.parse_args()
    executable = os.path.abspath(args.executable)
    def overrun(*_):
        raise TimeoutError("the end-to-end suite ran out of time")

    # The whole suite stays under ten minutes; the servers are stopped even then.
    signal.signal(signal.SIGALRM, overrun)
    signal.alarm(9 * 60)

    passed, failed = 0, 0

    def run(name, function, session, *a):
        nonlocal passed, failed
        began = time.monotonic()
        try:
            result = function(session, *a)
            passed += 1
            print("PASS %s (%.1f s)" % (name, time.monotonic() - began), flush=True)
            return result
        except Exception as error:  # every failure is reported, the suite goes on
            failed += 1
            print("FAIL %s: %s" % (name, error), flush=True)
            if not isinstance(error, AssertionError):
                traceback.print_exc()
            return None
        finally:
            # A copy a failed test left running would answer the next test's
            # start as the copy already there.
            session.end_programs()

    for width, height, pipewire in ((1024, 768, False), (1280, 1024, False), (1024, 768, True)):
        session = Session(executable, width, height, pipewire)
        try:
            media = {}
            for name, frequency, seconds in (("a440", 440, 3), ("b880", 880, 3),
                                             ("c660short", 660, 0.4), ("d440", 440, 30)):
                media[name] = os.path.join(session.audio, name + ".wav")
                sound.write_tone(media[name], frequency, seconds)
            if args.screenshot and width == 1024:
                media["screenshot"] = os.path.abspath(args.screenshot)
            tag = "%dx%d" % (width, height)
            if pipewire:
                run("a key on OnAir, then on Cue, through PipeWire", test_key_on_air_then_cue_on_pipewire,
                    session, media)
                continue
            run("start-up with no palette " + tag, test_start_up_with_no_palette, session, media)
            folder = run("palette, keys, mouse, loop, output, new palette, quit " + tag,
                         test_palette_keys_mouse_loop_and_output, session, media)
            if folder:
                run("restart, second copy, close, damaged settings " + tag,
                    test_restart_second_copy_close_and_damaged_settings, session, media, folder)
            if width == 1024:
                run("wheel, held key, devices plugged and unplugged, signals",
                    test_wheel_held_key_devices_and_signals, session, media)
                run("a palette made on Windows", test_windows_palette, session, media)
                run("remote control over OSC", test_remote_control, session, media)
                run("as-run log, a kill mid-play", test_as_run_log, session, media)
                run("latency, 20 presses", measure_latency, session, media)
                if args.install_prefix:
                    run("installation", test_installation, session, media, args.install_prefix)
        finally:
            session.stop()

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
