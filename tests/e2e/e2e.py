#!/usr/bin/env python3
"""End-to-end tests: the real Tambrel on a real X server (Xvfb) and a real
sound server (PulseAudio with null sinks "OnAir" and "Cue"; the core scenario
again on PipeWire with the same sinks), driven only from outside as an operator
would, checked only by what an operator could see, hear or find in its folder.

Usage: e2e.py TAMBREL_EXECUTABLE [--screenshot PNG] [--guide-shots DIR] [--install-prefix DIR]
              [--without-pulseaudio]

--guide-shots saves the pictures of the operator's guide (docs/guide) into DIR.
"""

import argparse
import http.server
import os
import pathlib
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sound  # noqa: E402
from sound import until  # noqa: E402
from x11 import Display, Screen  # noqa: E402

TWIPS = 15
LINE_COLOURS = [(41, 220, 149), (255, 128, 192), (128, 128, 192), (255, 128, 0),
                (255, 255, 128), (128, 255, 255), (255, 128, 128)]
RED = (255, 0, 0)
NOTICE = (255, 140, 0)  # a slot telling of a failure
YELLOW = (255, 255, 0)
SKIP = int(0.15 * sound.RATE)  # each change takes a moment to reach the monitor


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def file_bytes(path):
    try:
        return pathlib.Path(path).read_bytes()
    except OSError:
        return None


def palette_bytes(files):
    """A palette as the Windows program writes it: 28 file lines, then 28 volumes, in CR LF."""
    return b"".join(f + b"\r\n" for f in files + [b""] * (28 - len(files))) + b" 16384 \r\n" * 28


class Session:
    """One X server and one sound server, shared by the tests of one screen size."""

    def __init__(self, executable, width, height, pipewire=False):
        self.executable, self.width, self.height = executable, width, height
        self.folder = tempfile.mkdtemp(prefix="tambrel-e2e-")
        number = next(n for n in range(90, 140) if not os.path.exists("/tmp/.X11-unix/X%d" % n)
                      and not os.path.exists("/tmp/.X%d-lock" % n))
        x_name = ":%d" % number
        self.xvfb = subprocess.Popen(
            ["Xvfb", x_name, "-screen", "0", "%dx%dx24" % (width, height), "-nolisten", "tcp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not until(lambda: os.path.exists("/tmp/.X11-unix/X%d" % number), 15):
            raise RuntimeError("Xvfb did not start on " + x_name)
        os.makedirs(os.path.join(self.folder, "pulse"))
        server = sound.PipeWireServer if pipewire else sound.SoundServer
        self.sound = server(os.path.join(self.folder, "pulse"), ["OnAir", "Cue"])
        home = os.path.join(self.folder, "home")
        os.makedirs(os.path.join(home, "Bureau"))
        os.makedirs(os.path.join(home, ".config"))
        pathlib.Path(home, ".config", "user-dirs.dirs").write_text(
            'XDG_DESKTOP_DIR="$HOME/Bureau"\n')
        self.env = dict(os.environ, DISPLAY=x_name, HOME=home,
                        XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_RUNTIME_DIR=os.path.join(self.folder, "pulse"),
                        QT_QPA_PLATFORM="xcb")
        self.env.update(self.sound.env)
        # The program chooses its output as on a desktop: PipeWire's when its
        # daemon answers in the runtime folder, the PulseAudio server's if not.
        for name in ("QT_QPA_PLATFORMTHEME", "TAMBREL_AUDIO", "PIPEWIRE_RUNTIME_DIR",
                     "PIPEWIRE_REMOTE"):
            self.env.pop(name, None)
        self.display = Display(x_name, self.env)
        self.programs = []

    def program_folder(self, name, **palettes):
        """A fresh program folder holding a copy of the program and palettes of these files."""
        folder = os.path.join(self.folder, name)
        os.makedirs(folder)
        shutil.copy2(self.executable, os.path.join(folder, "Tambrel"))
        for palette, paths in palettes.items():
            files = [p.replace("/", "\\").encode() for p in paths]
            pathlib.Path(folder, palette + ".Bnk").write_bytes(palette_bytes(files))
        return folder

    def start(self, folder, wait_for_main=True, env=None, command=None):
        program = Program(self, folder, env, command)
        self.programs.append(program)
        if wait_for_main:
            program.wait_main()
        return program

    def start_with_palette(self, name, paths, **others):
        """A fresh copy of the program, its palette Matin of these files loaded."""
        program = self.start(self.program_folder(name, Matin=paths, **others))
        program.choose(program.palette_list(), "Matin")
        return program

    def start_with_message(self, folder, what):
        """Starts a copy that first shows a message box, and answers it with Return."""
        boxes = lambda: self.display.windows("^Tambrel$")  # noqa: E731
        before = len(boxes())
        program = self.start(folder, wait_for_main=False)
        expect(until(lambda: len(boxes()) > before, 15), what)
        time.sleep(0.5)
        self.display.focus(boxes()[-1])
        self.display.key("Return")
        return program

    def record(self, sink):
        return sound.Recorder(self.sound, sink)

    def end_programs(self):
        for program in self.programs:
            program.kill()
        self.programs = []

    def stop(self):
        self.end_programs()
        self.sound.stop()
        sound.end_process(self.xvfb)
        shutil.rmtree(self.folder, ignore_errors=True)


class Program:
    """One running copy of Tambrel, seen from outside."""

    def __init__(self, session, folder, env=None, command=None):
        self.session, self.folder, self.display = session, folder, session.display
        # Standard error to a file: a pipe nobody reads would block a talkative program.
        with open(os.path.join(session.folder, "stderr-%s.txt" % os.path.basename(folder)),
                  "ab") as told:
            self.told = told.name
            self.process = subprocess.Popen([command or os.path.join(folder, "Tambrel")],
                                            env=env or session.env,
                                            stdout=subprocess.DEVNULL, stderr=told)
        self.window, self.top = None, 0

    def wait_main(self, timeout=20.0):
        """Waits for the palette window and finds its client area on screen."""
        def client_top():
            expect(self.process.poll() is None, "the program ended at start")
            shot = self.screen()
            # The sunken frame's top edge: three grey rows, 2 to 4 pixels into the client area.
            # A one-element list, so that a top of 0 is found too.
            return next(([y - 2] for y in range(min(120, shot.height - 5))
                         if all(shot.pixel(300, y + k) == (128, 128, 128) for k in range(3))),
                        None)

        top = until(client_top, timeout)
        expect(top, "the palette window did not appear")
        windows = self.display.windows("^Tambrel$")
        expect(windows, "no window titled Tambrel")
        self.window, self.top = windows[-1], top[0]
        self.display.focus(self.window)

    def screen(self, png=None):
        return Screen(self.display.screenshot(png), self.session.width, self.session.height)

    # Places of the controls, in screen pixels, from the layout in twips.
    def _at(self, x, y):
        return x / TWIPS, self.top + y / TWIPS

    @property
    def wide(self):
        return self.session.width == 1024

    def slot_centre(self, slot):
        pitch, width = (3600, 3600) if self.wide else (2820, 2835)
        return self._at(420 + pitch * (slot % 4) + width * 0.6, 1320 + 1020 * (slot // 4) + 795 / 2)

    def info_label(self, slot):
        return self._at(420 + (3600 if self.wide else 2820) * (slot % 4) + 300,
                        1320 + 1020 * (slot // 4) - 240 + 127)

    def loop_marker(self, slot):
        # Just inside its top left corner, clear of the caption.
        x, y = self._at(420 + (3600 if self.wide else 2820) * (slot % 4) + 600,
                        1320 + 1020 * (slot // 4) - 240)
        return x + 3, y + 3

    def palette_list(self):
        return self._at(3240 + 2835 / 2, 420 + 180)

    def output_list(self):
        left = 1024 * TWIPS - 2805 - 600 if self.wide else 8880
        return self._at(left + 2805 / 2, 420 + 157)

    def menu(self, entry):
        # Where the menu bar's entries stand with the default font.
        x = {"Nouvelle Palette": 58, "Sauver Palette": 166, "Option": 243, "Quitter": 298,
             "?": 338}[entry]
        return (x, self.top // 2)

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
        return until(lambda: self.process.poll() is not None, timeout)

    def kill(self):
        self.process.kill()  # nothing when it has ended
        self.process.wait(5)

    def ini(self):
        return file_bytes(os.path.join(self.folder, "Tambrel.ini"))


def guide_shot(program, media, crops):
    """Saves the screen for the operator's guide, when asked: `crops` maps each picture's file
    name to the box (left, top, right, bottom) in screen pixels it shows, None for all of it.
    A picture that cannot be made is said, and the scenario goes on."""
    folder = media.get("guide")
    if not folder:
        return
    whole = os.path.join(folder, ".screen.png")
    try:
        subprocess.run(["import", "-display", program.display.name, "-window", "root", whole],
                       env=program.session.env, timeout=20, check=True)
        for name, box in crops.items():
            cut = [] if box is None else [
                "-crop", "%dx%d+%d+%d" % (box[2] - box[0], box[3] - box[1], box[0], box[1]),
                "+repage"]
            subprocess.run(["convert", whole, *cut, "-strip", os.path.join(folder, name)],
                           timeout=20, check=True)
    except (OSError, subprocess.SubprocessError) as error:
        print("guide pictures %s not saved: %s" % (", ".join(crops), error), flush=True)
    finally:
        if os.path.exists(whole):
            os.remove(whole)


def guide_lines(program, first, last):
    """The box of slot lines `first` to `last`, their labels and meters included, across the
    screen; line -1 stands for the menu and the lists above the slots."""
    top = 0 if first < 0 else program._at(0, 1320 + 1020 * first - 300)[1]
    bottom = program._at(0, 1320 + 1020 * last + 780 if last >= 0 else 1020)[1]
    return (0, int(top), program.session.width, int(bottom))


def heard(recorder, window, skip=SKIP):
    """A window of frames, less its first `skip`, as (level, 440 Hz, 660 Hz, 880 Hz). Each tone
    is its median over blocks of 2048 frames: a null sink that runs short drops a little of the
    stream, and the phase jump would pull a whole-window measure down as if the slot stopped."""
    samples = recorder.left(window[0] + skip, window[1])
    blocks = [samples[i:i + 2048] for i in range(0, max(len(samples) - 1024, 1), 2048)]
    return (sound.rms(samples),) + tuple(
        statistics.median(sound.tone(block, f) for block in blocks) for f in (440, 660, 880))


def wait_frames(recorder, seconds):
    start = recorder.frames()
    time.sleep(seconds)
    return start, recorder.frames()


def expect_440(recorder, window, what):
    a = heard(recorder, window)[1]
    expect(a > 0.2, "%s: 440 Hz %.3f" % (what, a))


def press_and_expect_440(session, program, sink, letter, what, seconds=0.8):
    """Presses a slot's letter, records the sink for a while, presses it again."""
    with session.record(sink) as recorder:
        program.display.key(letter)
        window = wait_frames(recorder, seconds)
        program.display.key(letter)
    expect_440(recorder, window, what)


def plays_only_on(session, program, letter, sink, other):
    """A slot pressed for a while sounds (440 Hz) on `sink`, and `other` stays silent."""
    with session.record(other) as elsewhere:
        press_and_expect_440(session, program, sink, letter, "nothing on " + sink)
        time.sleep(0.2)
    level = heard(elsewhere, (0, elsewhere.frames()), skip=0)[0]
    expect(level < 0.002, "%s sounds too: level %.4f" % (other, level))


# ---------------------------------------------------------------------------
# The tests. Each takes the session and the shared test audio.

def test_start_up_with_no_palette(session, media):
    program = session.start(session.program_folder("fresh"))
    shot = program.screen()
    colours = [program.button_colour(4 * line, shot) for line in range(7)]
    expect(colours == LINE_COLOURS, "the lines' first slots show %s" % colours)
    expect(program.ini() is None, "the settings file was written at start")


def test_palette_keys_mouse_loop_and_output(session, media):
    program = session.start_with_palette("studio", media["abcd"])
    with session.record("OnAir") as on_air:
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
    _, a, _, b = heard(on_air, a_alone)
    expect(a > 0.2 and b < 0.02, "A alone: 440 Hz %.3f, 880 Hz %.3f" % (a, b))
    _, a, _, b = heard(on_air, both)
    expect(a > 0.2 and b > 0.2, "A and B together: 440 Hz %.3f, 880 Hz %.3f" % (a, b))
    _, a, _, b = heard(on_air, b_alone)
    expect(a < 0.02 and b > 0.2, "B alone: 440 Hz %.3f, 880 Hz %.3f" % (a, b))
    level = heard(on_air, after)[0]
    expect(level < 0.002, "silence after both stops: level %.4f" % level)

    # Loop: C typed with Ctrl held switches slot C's marker (the switch is on
    # the letter's release, Ctrl still down); its 0.4 s file keeps sounding.
    program.display.xdotool("keydown", "Control_L", "key", "c", "keyup", "Control_L")
    marker = lambda: program.screen().pixel(*program.loop_marker(2))  # noqa: E731
    expect(until(lambda: marker() == YELLOW, 2.0),
           "slot C's loop marker is %s, not yellow" % (marker(),))
    with session.record("OnAir") as on_air:
        program.display.key("c")
        looping = wait_frames(on_air, 1.6)
        program.display.key("c")
        stopped = wait_frames(on_air, 0.6)
    for second in (0.6, 1.0, 1.3):  # well past the end of the file
        start = looping[0] + int(second * sound.RATE)
        c = heard(on_air, (start, start + 4096), skip=0)[2]
        expect(c > 0.2, "the loop is silent %.1f s in: 660 Hz %.3f" % (second, c))
    level = heard(on_air, stopped)[0]
    expect(level < 0.002, "the loop did not stop: level %.4f" % level)

    program.choose(program.output_list(), "Cue")
    plays_only_on(session, program, "d", "Cue", "OnAir")

    # A new palette, saved from the menu.
    program.click(program.menu("Nouvelle Palette"))
    expect(until(lambda: program.display.windows("^Nouvelle palette$")),
           "no input box for the name")
    time.sleep(0.3)
    program.display.type_text("Soir")
    program.display.key("Return")
    path = os.path.join(program.folder, "Soir.Bnk")
    expect(until(lambda: os.path.exists(path)), "Soir.Bnk was not written")
    expect(file_bytes(path) == palette_bytes([]), "Soir.Bnk is not an empty palette")

    # Quit from the menu: the settings (device, line 0's colour) are written and the program ends.
    program.click(program.menu("Quitter"))
    expect(program.ended(10), "the program did not end after Quitter")
    ini = program.ini()
    expect(ini and ini.split(b"\r\n")[:2] == [b"Cue", b" 9821225 "], "Tambrel.ini: %r" % ini)
    return program.folder


def test_key_on_air_then_cue_on_pipewire(session, media):
    program = session.start_with_palette("pipewire", [media["a440"]])
    plays_only_on(session, program, "a", "OnAir", "Cue")
    program.choose(program.output_list(), "Cue")
    plays_only_on(session, program, "a", "Cue", "OnAir")
    program.kill()
    told = pathlib.Path(program.told).read_text(errors="replace")
    expect("sortie audio : PipeWire" in told, "not played through PipeWire: %r" % told[-300:])


def test_silent_sound_server(session, media):
    """A sound server that takes the connection and never answers, and no PipeWire:
    the window is up at once and a press says the output does not answer;
    once a real server is there, a press plays."""
    folder = os.path.join(session.folder, "silent-server")
    os.makedirs(folder)
    path = os.path.join(folder, "pulse.sock")
    silent = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    silent.bind(path)
    silent.listen(64)
    env = dict(session.env, PULSE_SERVER="unix:" + path, XDG_RUNTIME_DIR=folder)
    began = time.monotonic()
    program = session.start(session.program_folder("silent", Matin=[media["a440"]]),
                            wait_for_main=False, env=env)
    expect(until(lambda: program.display.windows("^Tambrel$"), 20), "no window")
    print("silent_server_window_ms %.0f" % ((time.monotonic() - began) * 1000), flush=True)
    time.sleep(0.5)
    # The window's first turn is the box that tells the output does not work.
    program.display.focus(program.display.windows("^Tambrel$")[-1])
    program.display.key("Return")
    program.wait_main()
    program.choose(program.palette_list(), "Matin")
    program.display.key("a")
    expect(until(lambda: program.button_colour(0) == NOTICE, 3),
           "a press with a silent server does not say so on its slot")
    silent.close()
    os.unlink(path)
    server = sound.SoundServer(folder, ["Studio"])
    try:
        time.sleep(3)  # the link tries again every two seconds
        with sound.Recorder(server, "Studio") as studio:
            program.display.key("a")
            window = wait_frames(studio, 0.8)
            program.display.key("a")
        expect_440(studio, window, "slot A once the server answers")
    finally:
        program.kill()
        server.stop()


def test_restart_second_copy_close_and_damaged_settings(session, media, folder):
    # A restart restores the device and the colours the settings file holds.
    path = pathlib.Path(folder, "Tambrel.ini")
    lines = path.read_bytes().split(b"\r\n")
    lines[1] = b" 65280 "  # line 0 in green
    path.write_bytes(b"\r\n".join(lines))
    program = session.start(folder)
    colour = program.button_colour(1)
    expect(colour == (0, 255, 0), "line 0 is %s, not the saved green" % (colour,))
    program.choose(program.palette_list(), "Matin")
    press_and_expect_440(session, program, "Cue", "a", "the restart did not play on Cue", 0.6)

    # A second copy is refused while the first runs; nothing of the first changes.
    before = path.stat().st_mtime_ns
    second = session.start_with_message(folder, "no message from the second copy")
    expect(second.ended(10), "the second copy did not end")
    expect(program.process.poll() is None, "the first copy ended too")
    expect(path.stat().st_mtime_ns == before, "the second copy touched Tambrel.ini")

    # Closing the window writes the settings and ends the program.
    path.unlink()
    program.display.close_window(program.window)
    expect(program.ended(10), "the program did not end when its window closed")
    expect((program.ini() or b"").startswith(b"Cue\r\n"),
           "closing did not write Tambrel.ini: %r" % program.ini())

    # A damaged settings file: reported, removed, the colours before the bad line kept.
    path.write_bytes(b"Cue\r\n 255 \r\nvert\r\n")
    program = session.start_with_message(folder, "no message for the damaged file")
    program.wait_main()
    expect(not path.exists(), "the damaged Tambrel.ini is still there")
    shot = program.screen()
    colours = program.button_colour(0, shot), program.button_colour(4, shot)
    expect(colours == (RED, LINE_COLOURS[1]), "lines 0 and 1 show %s, not the red read before "
           "the bad line and line 1's default" % (colours,))


def test_wheel_held_key_devices_and_signals(session, media):
    """On air: a wheel over the lists and a held key change nothing; a sink
    plugged, unplugged and back is followed by name; a signal saves the settings."""
    # Loading Soir from the wheel would stop every slot.
    program = session.start_with_palette("on-air", media["abcd"], Soir=[])
    with session.record("OnAir") as on_air:
        program.display.key("d")
        time.sleep(0.3)
        for place in (program.palette_list(), program.output_list()):
            program.display.xdotool("mousemove", str(int(place[0])), str(int(place[1])),
                                    "click", "5", "click", "5", "click", "4", "click", "5")
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
    expect_440(on_air, wheeled, "the wheel over the lists stopped or moved slot D")
    # Each repeat taken for a press would stop or start it: 25 times a second
    # from 0.66 s on, so about half of these windows would be silent.
    windows = [heard(on_air, (start, start + 2048), skip=0)[3]
               for start in range(held[0] + SKIP, after[1] - 2048, 2048)]
    sounding = sum(1 for b in windows if b > 0.2)
    expect(sounding >= 0.9 * len(windows) and windows[-1] > 0.2,
           "slot B held down sounds in %d of %d windows, last %.3f"
           % (sounding, len(windows), windows[-1]))

    # A headset plugged in while the program runs, chosen, unplugged, back.
    module = session.sound.plug("Casque")
    time.sleep(1.0)
    program.choose(program.output_list(), "Casque")
    program.display.key("d")  # left playing while the headset is unplugged
    with session.record("Casque") as casque:
        playing = wait_frames(casque, 0.8)
    expect_440(casque, playing, "nothing on the headset once chosen")
    session.sound.unplug(module)
    time.sleep(0.6)
    colour = program.button_colour(3)
    expect(colour == NOTICE, "slot D does not show the lost headset: %s" % (colour,))
    with session.record("OnAir") as on_air:
        time.sleep(2.0)
        program.display.key("d")  # the headset is absent: nothing sounds anywhere
        time.sleep(0.3)
        expect(program.button_colour(3) == NOTICE, "a press on an absent device shows nothing")
        quiet = wait_frames(on_air, 0.5)
        band = guide_lines(program, -1, 0)
        guide_shot(program, media, {"sortie-absente.png": (band[2] - 290,) + band[1:]})
    expect(heard(on_air, quiet, skip=0)[0] < 0.002,
           "the slot sounded on OnAir instead of the headset")
    module = session.sound.plug("Casque")
    time.sleep(1.0)
    press_and_expect_440(session, program, "Casque", "d", "the headset back is not played on")

    # Ended by a signal: the settings are saved as on closing, once per run.
    ini = pathlib.Path(program.folder, "Tambrel.ini")
    for signal_number, device in ((signal.SIGTERM, b"Casque"), (signal.SIGHUP, b"Cue"),
                                  (signal.SIGINT, b"OnAir")):
        if signal_number != signal.SIGTERM:
            program = session.start(program.folder)
            program.choose(program.output_list(), device.decode())
        ini.unlink(missing_ok=True)
        program.process.send_signal(signal_number)
        expect(program.ended(10), "the program did not end on signal %d" % signal_number)
        expect(program.process.returncode == 0, "signal %d: exit status %d"
               % (signal_number, program.process.returncode))
        expect((program.ini() or b"").startswith(device + b"\r\n"),
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
    pathlib.Path(folder, "Lecteurs.ini").write_bytes(
        b"# Studio B\r\n\\\\STUDIO\\Pubs=" + os.path.join(folder, "pubs").encode() + b"\r\n")
    data = palette_bytes([b"C:\\JINGLES\\g\xe9n\xe9rique.wav", b"\\\\studio\\pubs\\PUB 1.wav"])
    palette = pathlib.Path(folder, "Windows.Bnk")
    palette.write_bytes(data)
    program = session.start(folder)
    program.choose(program.palette_list(), "Windows")
    with session.record("OnAir") as on_air:
        program.display.key("a", "b")
        both = wait_frames(on_air, 0.7)
        program.display.key("a", "b")
        time.sleep(0.2)
    _, a, _, b = heard(on_air, both)
    expect(a > 0.2 and b > 0.2, "the Windows palette: 440 Hz %.3f, 880 Hz %.3f" % (a, b))
    before = palette.stat().st_mtime_ns
    program.click(program.menu("Sauver Palette"))
    expect(until(lambda: palette.stat().st_mtime_ns != before), "Sauver Palette wrote nothing")
    expect(palette.read_bytes() == data, "saving changed the Windows palette's bytes")


def test_edges_keep_air_and_settings(session, media):
    """A damaged palette picked while a bed plays: the bed plays on, the list
    goes back, the window says why. "Quitter" answered No keeps the air, and
    slots' letters typed into its question answer nothing. Échap closing a
    menu, then Échap again, fades nothing. A slot emptied: "Quitter" asks. An
    output picked, then a kill -9: the pick is kept."""
    folder = session.program_folder("edges", Matin=[media["d440"]])
    pathlib.Path(folder, "Vide.Bnk").write_bytes(b"")
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    place = program.palette_list()
    box = (int(place[0]) - 60, int(place[1]) - 8, int(place[0]) + 60, int(place[1]) + 8)
    listed = lambda shot: [shot.pixel(x, y) for x in range(box[0], box[2], 3)  # noqa: E731
                           for y in range(box[1], box[3], 2)]
    matin = listed(program.screen())
    strip = program._at(420 + 200, 90 + 150)
    with session.record("OnAir") as on_air:
        program.display.key("a")
        time.sleep(0.4)
        program.choose(place, "Vide")
        shot = program.screen()
        picked = wait_frames(on_air, 0.8)
    expect_440(on_air, picked, "the bed stopped when a damaged palette was picked")
    guide_shot(program, media, {"palette-abimee.png": guide_lines(program, -1, 0)})
    expect(shot.pixel(*strip) == NOTICE, "no message on the window: %s" % (shot.pixel(*strip),))
    expect(listed(shot) == matin, "the palette list does not show Matin again")
    told = pathlib.Path(program.told).read_text(errors="replace")
    expect("Palette non chargée : Lecture après la fin du fichier" in told,
           "standard error says nothing of Vide.Bnk: %r" % told[-300:])

    boxes = lambda: program.display.windows("^Tambrel$")  # noqa: E731
    before = len(boxes())
    with session.record("OnAir") as on_air:
        program.click(program.menu("Quitter"))
        expect(until(lambda: len(boxes()) > before, 10), "Quitter did not ask while A plays")
        time.sleep(0.3)
        program.display.focus(boxes()[-1])
        program.display.key("o", "j", "n")  # slots' letters, typed by habit
        time.sleep(0.3)
        expect(len(boxes()) > before and program.process.poll() is None,
               "a slot's letter answered the question")
        program.display.key("Return")  # No, the default
        expect(until(lambda: len(boxes()) == before, 5), "the question stayed open")
        kept = wait_frames(on_air, 0.8)
    expect(program.process.poll() is None, "Quitter answered No ended the program")
    expect_440(on_air, kept, "Quitter answered No cut slot A")

    with session.record("OnAir") as on_air:
        program.click(program.menu("Option"))
        time.sleep(0.4)
        program.display.key("Escape", "Escape")  # the menu, then what seems still open
        start, end = wait_frames(on_air, 1.6)
    expect_440(on_air, (end - sound.RATE // 2, end), "Échap closing a menu faded slot A")
    program.display.key("a")

    # Slot A emptied, not saved: "Quitter" asks even with nothing on air.
    program.display.xdotool("mousemove", *map(str, map(int, program.info_label(0))), "sleep",
                            "0.1", "click", "--repeat", "2", "--delay", "80", "1")
    time.sleep(0.3)
    before = len(boxes())
    program.click(program.menu("Quitter"))
    expect(until(lambda: len(boxes()) > before, 10), "Quitter did not ask for an emptied slot")
    time.sleep(0.3)
    program.display.focus(boxes()[-1])
    program.display.key("Return")  # No: the operator goes and saves
    expect(until(lambda: len(boxes()) == before, 5), "the unsaved question stayed open")
    expect(program.process.poll() is None, "Quitter with unsaved slots ended the program")

    program.choose(program.output_list(), "Cue")
    time.sleep(0.3)
    program.kill()  # SIGKILL: nothing of the program's own ending runs
    expect((program.ini() or b"").startswith(b"Cue\r\n"),
           "the output picked before kill -9 is lost: %r" % program.ini())


def sounded_ms(samples):
    """How long the recording held sound, in 10 ms blocks."""
    block = sound.RATE // 100
    return 10 * sum(1 for i in range(0, len(samples) - block + 1, block)
                    if sound.rms(samples[i:i + block]) > 0.02)


def journal_lines(folder):
    """The play lines of every day's file of the as-run log, split into fields."""
    lines = []
    for path in sorted(pathlib.Path(folder, "Journal").glob("[0-9]*.csv")):
        text = path.read_bytes().decode("utf-8-sig")
        lines += [line.split(";") for line in text.split("\r\n")[1:] if line]
    return lines


def test_as_run_log(session, media):
    """Two plays heard on the sink are in the day's log with what sounded of
    them; a play cut by SIGKILL is found at the next start as interrupted."""
    program = session.start_with_palette("journal", [media["a440"], media["d440"]])
    folder = program.folder
    with session.record("OnAir") as on_air:
        program.display.key("a")
        time.sleep(3.6)  # to its end
        program.display.key("b")
        time.sleep(1.2)
        program.display.key("b")
        time.sleep(0.4)
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
    session.start(folder)
    lines = until(lambda: len(journal_lines(folder)) >= 3 and journal_lines(folder), 5)
    expect(lines and len(lines) == 3, "after the kill the log holds %r" % (lines,))
    cut = lines[-1]
    expect(cut[2] == "B" and cut[9] == "interrompu", "the interrupted play: %r" % (cut,))
    expect(abs(int(cut[7]) - 2500) <= 1000, "the interrupted play aired %s ms of 2500" % cut[7])
    print("as_run_log A aired %s ms, heard %d ms; B aired %s ms, heard %d ms; B killed after "
          "2500 ms: aired %s ms" % (a[7], heard_a, b[7], heard_b, cut[7]), flush=True)


def osc_read(packet):
    """An OSC message as (path, [arguments]): int32 and string arguments."""
    def string(at):
        end = packet.index(b"\0", at)
        return packet[at:end].decode("utf-8", "replace"), (end + 4) & ~3
    path, at = string(0)
    types, at = string(at)
    args = []
    for tag in types[1:]:
        value, at = (struct.unpack_from(">i", packet, at)[0], at + 4) if tag == "i" else string(at)
        args.append(value)
    return path, args


def test_remote_control(session, media):
    """oscsend (liblo's own client) presses slot A of the real program: the
    tone is heard on the sink, and a subscriber is told A plays."""
    program = session.start_with_palette("remote", [media["a440"]])

    def oscsend(path, number):
        subprocess.run(["oscsend", "localhost", "9100", path, "i", str(number)], check=True,
                       timeout=10)

    def next_slot(slot, state):
        """The arguments of the next message telling `slot` is in `state`; None if none comes."""
        def told():
            path, args = osc_read(listener.recv(65536))
            return args if path == "/tambrel/etat/slot" and args[:2] == [slot, state] else None
        try:
            return until(told, 5)
        except socket.timeout:
            return None

    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.settimeout(3.0)
        oscsend("/tambrel/subscribe", listener.getsockname()[1])
        ready = next_slot(0, "pret")
        expect(ready is not None and ready[2] == "a440",
               "the subscriber was not told A: %r" % (ready,))
        with session.record("OnAir") as on_air:
            oscsend("/tambrel/press", 0)
            playing = next_slot(0, "joue")
            window = wait_frames(on_air, 0.7)
            oscsend("/tambrel/press", 0)
            stopped = next_slot(0, "pret")
    expect(playing is not None, "the subscriber was not told A plays")
    expect(stopped is not None, "the subscriber was not told A stopped")
    expect_440(on_air, window, "the press from afar was not heard")


def test_remote_safe_on_air(session, media):
    """A subscription to the program's own port is refused and leaves it idle;
    an OSC press while the "Quitter" question is open is heard at once."""
    program = session.start_with_palette("remote-safe", [media["d440"], media["b880"]])

    def cpu_seconds():
        """The user and system time the program has used so far."""
        stat = pathlib.Path("/proc/%d/stat" % program.process.pid).read_text()
        fields = stat.rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as client:
        client.bind(("127.0.0.1", 0))
        client.settimeout(3.0)
        client.sendto(b"/tambrel/subscribe\0\0,i\0\0" + struct.pack(">i", 9100),
                      ("127.0.0.1", 9100))
        path, args = osc_read(client.recv(65536))
        expect(path == "/tambrel/error" and args[0].startswith("Abonnement refusé"),
               "subscribing the program to itself: %s %r" % (path, args))
        time.sleep(0.5)
        used = cpu_seconds()
        time.sleep(5)
        used = cpu_seconds() - used
    print("remote_self_subscription_cpu_s %.2f of 5 s" % used, flush=True)
    expect(used < 0.5, "the program subscribed to itself is busy: %.2f s of CPU in 5 s" % used)

    boxes = lambda: program.display.windows("^Tambrel$")  # noqa: E731
    before = len(boxes())
    program.display.key("a")
    with session.record("OnAir") as on_air:
        program.click(program.menu("Quitter"))
        expect(until(lambda: len(boxes()) > before, 10), "Quitter did not ask while A plays")
        time.sleep(0.3)
        mark = on_air.frames()
        sent = time.monotonic()
        subprocess.run(["oscsend", "localhost", "9100", "/tambrel/press", "i", "1"], check=True,
                       timeout=10)
        onset = until(lambda: heard(on_air, (mark, on_air.frames()), skip=0)[3] > 0.2, 3)
        late_ms = (time.monotonic() - sent) * 1000
        expect(len(boxes()) > before, "the question closed by itself")
        program.display.focus(boxes()[-1])
        program.display.key("Return")  # No, the default
        expect(until(lambda: len(boxes()) == before, 5), "the question stayed open")
    expect(program.process.poll() is None, "Quitter answered No ended the program")
    expect(onset, "an OSC press while a box is open was not heard (%.0f ms)" % late_ms)


def browser(session, width, height):
    """Debian's chromium, headless, driven through Selenium (Debian's python3-selenium, found
    where Debian puts it when another Python runs the suite)."""
    try:
        from selenium import webdriver
    except ImportError:
        sys.path.append("/usr/lib/python3/dist-packages")
        from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=%d,%d" % (width, height), "--lang=fr"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=session.env),
                              options=options)
    driver.set_page_load_timeout(20)
    driver.set_script_timeout(10)
    return driver


class ForeignSite(http.server.BaseHTTPRequestHandler):
    """Another web site's page, as the browser beside the desk may open one: it opens the
    program's WebSocket, gives no code (as this machine's pages need none) and presses slot A."""
    PAGE = (b"<!doctype html><script>window.opened = false; window.got = []; window.ended = false;"
            b"const s = new WebSocket('ws://127.0.0.1:9180/ws');"
            b"s.onopen = () => { opened = true; s.send('{\"code\":\"\"}');"
            b" s.send('{\"appui\":0}'); };"
            b"s.onmessage = (e) => got.push(e.data); s.onclose = () => { ended = true; };"
            b"</script>")

    def do_GET(self):  # noqa: N802 (the server's name for it)
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(self.PAGE)))
        self.end_headers()
        self.wfile.write(self.PAGE)

    def log_message(self, *_):
        pass


def test_web_page(session, media):
    """The program's web page in a real browser: its 28 slots and captions; a tap on A is heard
    and turns it red within 200 ms; the corner square sets B's loop in the window; a palette
    picked on the page loads; a key pressed in the window is pushed to the page; a page of
    another site, served from another port, is refused the WebSocket and presses nothing; the
    program ended, the page says "non connecté"."""
    folder = session.program_folder("web")
    titles = [("Indicatif", "a440"), ("Virgule", "b880"), ("M\u00e9t\u00e9o", None),
              ("Flash info", "b880")]
    for title, tone in titles:
        if tone:
            os.link(media[tone], os.path.join(folder, title + ".wav"))
    pathlib.Path(folder, "Matin.Bnk").write_bytes(
        palette_bytes([os.path.join(folder, title + ".wav").encode() for title, _ in titles]))
    pathlib.Path(folder, "Soir.Bnk").write_bytes(palette_bytes([media["d440"].encode()]))
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    driver = browser(session, 820, 1180)  # a tablet, upright
    from selenium.webdriver.common.by import By  # browser() made it importable
    try:
        js = driver.execute_script
        slots = lambda: js("return [...document.querySelectorAll('.touche')].map(e => "  # noqa: E731
                           "[e.className, e.querySelector('.nom').textContent, "
                           "e.querySelector('.lettre').textContent])")
        driver.get("http://127.0.0.1:9180/")
        live = lambda: not js("return document.body.classList.contains('hors-ligne')")  # noqa: E731
        expect(until(live, 10), "the page never connected")
        shown = slots()
        expect([s[2] for s in shown] == [chr(65 + i) for i in range(28)],
               "the page's letters: %r" % ([s[2] for s in shown],))
        expect([s[1] for s in shown[:5]] == ["Indicatif", "Virgule", "M\u00e9t\u00e9o",
                                             "Flash info", ""]
               and "pret" in shown[0][0] and "absent" in shown[2][0] and "vide" in shown[4][0],
               "the page's first slots: %r" % (shown[:5],))
        expect(js("return getComputedStyle(document.querySelectorAll('.touche')[4])"
                  ".backgroundColor") == "rgb(%d, %d, %d)" % LINE_COLOURS[1],
               "line 2 is not in its colour")

        driver.find_elements(By.CSS_SELECTOR, ".touche .boucle")[1].click()
        marker = lambda: program.screen().pixel(*program.loop_marker(1))  # noqa: E731
        expect(until(lambda: marker() == YELLOW, 2.0), "the page did not set B's loop")
        expect("pret" in slots()[1][0], "the loop's square pressed B as well")
        # The page times its own tap and the slot's turning red.
        js("window.tapped = 0; window.red = 0; const a = document.querySelector('.touche');"
           "a.addEventListener('pointerup', () => { if (!tapped) tapped = performance.now(); });"
           "new MutationObserver(() => { if (!red && a.classList.contains('joue')) "
           "red = performance.now(); }).observe(a, {attributes: true});")
        slot_a = driver.find_elements(By.CSS_SELECTOR, ".touche")[0]
        with session.record("OnAir") as on_air:
            slot_a.click()
            expect(until(lambda: js("return red > 0"), 3), "slot A did not turn red on the page")
            window = wait_frames(on_air, 0.7)
            expect(program.button_colour(0) == RED, "slot A is not red in the window")
            if "guide" in media:
                driver.save_screenshot(os.path.join(media["guide"], "page-web.png"))
                driver.set_window_size(390, 844)  # a phone
                time.sleep(0.3)
                driver.save_screenshot(os.path.join(media["guide"], "page-web-telephone.png"))
            slot_a.click()
            expect(until(lambda: "pret" in slots()[0][0], 3), "slot A did not stop from the page")
        expect_440(on_air, window, "the page's tap was not heard")
        red_ms = js("return red - tapped")
        print("web_tap_to_red_ms %.1f" % red_ms, flush=True)
        expect(0 < red_ms <= 200, "slot A turned red %.0f ms after the tap" % red_ms)

        js("const p = document.getElementById('palettes'); p.value = 'Soir.Bnk';"
           "p.dispatchEvent(new Event('change'));")
        expect(until(lambda: slots()[0][1] == "d440" and slots()[1][1] == "", 5),
               "the palette picked on the page did not load: %r" % (slots()[:2],))
        program.display.focus(program.window)
        program.display.key("a")
        expect(until(lambda: "joue" in slots()[0][0], 2), "a key in the window was not pushed")
        countdown = lambda: js("return document.getElementById('decompte').textContent")  # noqa: E731
        expect(until(lambda: re.fullmatch(r"00:(2\d|30)", countdown()), 2),
               "the page's countdown reads %r" % countdown())
        program.display.key("a")
        expect(until(lambda: "pret" in slots()[0][0], 2), "slot A did not stop from the window")

        foreign = http.server.ThreadingHTTPServer(("127.0.0.1", 0), ForeignSite)
        threading.Thread(target=foreign.serve_forever, daemon=True).start()
        try:
            driver.switch_to.new_window("tab")
            driver.get("http://127.0.0.1:%d/" % foreign.server_address[1])
            expect(until(lambda: js("return window.ended === true"), 5),
                   "the other site's WebSocket was not closed")
            expect(js("return !opened && got.length === 0"),
                   "the other site's page was let in: %r" % js("return got"))
            time.sleep(0.5)
            expect(program.button_colour(0) != RED, "the other site's page pressed slot A")
            driver.close()
            driver.switch_to.window(driver.window_handles[0])
        finally:
            foreign.shutdown()

        program.kill()
        expect(until(lambda: not live() and js(
            "return getComputedStyle(document.getElementById('bandeau')).display") == "block", 5),
            "the page does not say it is not connected")
        expect("non connecté" in driver.find_element(By.ID, "bandeau").text.lower(),
               "the banner reads %r" % driver.find_element(By.ID, "bandeau").text)
    finally:
        driver.quit()

def test_frozen_program(session, media):
    """The whole program stopped (SIGSTOP) while a bed plays: half a second drains the reserve,
    which grows at once; 900 ms then leaves no gap on the sink and the bed plays on where it was,
    and a press after the resume is heard at once."""
    program = session.start_with_palette("frozen", [media["d440"], media["b880"]])
    pid = program.process.pid

    def freeze(seconds):
        os.kill(pid, signal.SIGSTOP)
        time.sleep(seconds)
        os.kill(pid, signal.SIGCONT)

    def resident_mb():
        status = pathlib.Path("/proc/%d/status" % pid).read_text()
        return int(next(line.split()[1] for line in status.splitlines()
                        if line.startswith("VmRSS:"))) / 1024

    with session.record("OnAir") as on_air:
        program.display.press("a")
        time.sleep(1.5)
        before_mb = resident_mb()
        freeze(0.5)
        time.sleep(2.5)
        told = pathlib.Path(program.told).read_text(encoding="utf-8", errors="replace")
        reserves = [int(part.split()[2]) for part in told.split(" — ")
                    if part.startswith("réserve : ")]
        print("reserve reached after a freeze of 500 ms: %s ms; memory %.0f MB, then %.0f MB"
              % (max(reserves, default=0), before_mb, resident_mb()), flush=True)
        expect(max(reserves, default=0) >= 950, "the reserve did not grow: %s" % reserves)
        frozen = on_air.frames()
        freeze(0.9)
        time.sleep(0.6)
        mark = on_air.frames()
        sent = program.display.press("b")
        # The middle of the first block of 256 frames half filled with 880 Hz.
        onset = until(lambda: next((on_air.time_of_frame(mark + i + 128) for i in range(
            0, on_air.frames() - mark - 256, 64) if sound.tone(on_air.left(
                mark + i, mark + i + 256), 880) > 0.2), None), 2)
        time.sleep(0.3)
    # Through the freeze and after it, the bed alone, whole: no silence, no phase jump
    # (a block straddling one would lose its 440 Hz).
    bed = on_air.left(frozen, mark)
    quiet = longest = 0
    for sample in bed:
        quiet = quiet + 1 if abs(sample) < 0.01 else 0
        longest = max(longest, quiet)
    expect(longest < sound.RATE // 1000, "a gap of %d frames on the sink" % longest)
    lowest = min(sound.tone(bed[i:i + 2048], 440) for i in range(0, len(bed) - 2048, 2048))
    expect(lowest > 0.3, "the bed faltered: 440 Hz down to %.3f" % lowest)
    expect(onset, "a press after the freeze was never heard")
    print("a press after the freeze heard in %.1f ms" % ((onset - sent) * 1000), flush=True)
    expect(onset - sent < 0.1, "a press after the freeze came %.0f ms late" % ((onset - sent) * 1000))


def measure_latency(session, media, presses=20):
    program = session.start_with_palette("latency", [media["a440"]])
    delays = []
    with session.record("OnAir") as on_air:
        for _ in range(presses):
            time.sleep(0.25)
            mark = on_air.frames()
            sent = program.display.press("a")
            onset = until(lambda: on_air.onset(mark), 2)
            program.display.press("a")
            expect(onset, "a press was never heard")
            delays.append((onset - sent) * 1000)
            time.sleep(0.2)
    print("latency_key_to_sound_ms min %.1f median %.1f max %.1f (%d presses)"
          % (min(delays), statistics.median(delays), max(delays), len(delays)), flush=True)
    # A figure, not a bound: only a player path gone wrong fails it.
    expect(statistics.median(delays) <= 50,
           "key to sound: median %.1f ms" % statistics.median(delays))


def test_guide_pictures(session, media):
    """The operator's guide's pictures of a morning palette: at rest (a file
    gone says so on its slot), two slots on air, one looping, the volume
    sliders shown by the menu, the output list's tool tip."""
    folder = session.program_folder("guide")
    jingles = os.path.join(folder, "Jingles")
    os.makedirs(jingles)
    titles = [("Indicatif", "a440"), ("Fond matin", "d440"), ("Virgule", "b880"),
              ("M\u00e9t\u00e9o", "a440"), ("Flash info", "b880"), ("Sport", "a440"),
              ("Trafic", "b880"), ("Agenda", "d440"), ("Pub Garage Martin", None),
              ("Relance", "a440"), ("Rires", "b880"), ("Applaudissements", "a440")]
    for title, tone in titles:
        if tone:
            os.link(media[tone], os.path.join(jingles, title + ".wav"))
    pathlib.Path(folder, "Matin.Bnk").write_bytes(
        palette_bytes([("Jingles\\%s.wav" % title).encode() for title, _ in titles]))
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    label = program._at(420, 1320 + 1020 * 2 - 240)
    label = (label[0] + 2, label[1] + 1)  # slot I's, above its top left corner's text
    expect(program.screen().pixel(*label) == NOTICE, "slot I's missing file is not told")
    guide_shot(program, media, {"fenetre.png": None, "absent.png": guide_lines(program, 2, 2)})

    program.display.xdotool("keydown", "Control_L", "key", "b", "keyup", "Control_L")
    program.display.key("a", "b")
    time.sleep(1.3)
    guide_shot(program, media, {"en-ondes.png": guide_lines(program, 0, 0)})
    program.display.key("a", "b")

    program.click(program.menu("Option"))
    time.sleep(0.3)
    program.display.key("Down", "Return")
    slider = program._at(420 + 112, 1320 + 795 / 2)  # over slot A's left edge
    shown = lambda: program.screen().pixel(*slider) != LINE_COLOURS[0]  # noqa: E731
    expect(until(shown, 2.0), "Option, Volume shows no slider")
    guide_shot(program, media, {"volume.png": guide_lines(program, 0, 1)})

    place = program.output_list()
    program.display.xdotool("mousemove", str(int(place[0])), str(int(place[1])))
    time.sleep(1.0)  # the tool tip's delay
    right = program.session.width
    guide_shot(program, media, {"sortie.png": (right - 400, 0, right, program._at(0, 1500)[1])})


def test_locked_window_function_keys_and_clock(session, media):
    """Locked: a click on an empty slot opens no window. F2 loads the list's second palette and
    its slot is heard, counted down under the slots beside the time of day."""
    folder = session.program_folder("locked", Matin=[media["b880"]], Soir=[media["d440"]])
    pathlib.Path(folder, "Options.ini").write_text("verrou=oui\nhorloge=oui\n")
    program = session.start(folder)
    shown = lambda: len(session.display.windows("."))  # noqa: E731
    before = shown()
    program.click(program.slot_centre(5))
    time.sleep(1.0)
    expect(shown() == before, "a click on an empty slot of a locked window opened a window")
    program.display.key("F2")
    time.sleep(0.5)
    with session.record("OnAir") as on_air:
        program.display.key("a")
        window = wait_frames(on_air, 1.3)
        clock = (0, int(program._at(0, 8300)[1]), session.width, int(program._at(0, 9500)[1]))
        guide_shot(program, media, {"horloge.png": clock, "verrou.png": guide_lines(program, -1, 0)})
        program.display.key("a")
    expect_440(on_air, window, "F2 did not load Soir, or its slot A was not heard")


def test_installation(session, media, prefix):
    subprocess.run(["cmake", "--install", os.path.dirname(session.executable), "--prefix", prefix],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    program_folder = os.path.join(prefix, "lib", "tambrel")
    expect(os.access(os.path.join(program_folder, "Tambrel"), os.X_OK), "no installed program")
    entry = os.path.join(prefix, "share", "applications", "tambrel.desktop")
    checked = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
    expect(checked.returncode == 0, "desktop entry: " + checked.stdout + checked.stderr)
    expect("Exec=%s/Tambrel\n" % program_folder in pathlib.Path(entry).read_text(),
           "the entry starts another program")
    expect(os.path.exists(os.path.join(prefix, "share", "icons", "hicolor", "256x256", "apps",
                                       "tambrel.png")), "no icon installed")
    program = session.start(program_folder)
    program.click(program.menu("Quitter"))
    expect(program.ended(10), "the installed program did not quit")
    expect(program.ini() is not None, "the installed program keeps no settings beside itself")
    launcher = os.path.join(session.env["HOME"], "Bureau", "Tambrel.desktop")
    expect(os.path.exists(launcher), "no launcher on the desktop")
    # The uninstaller finds the launcher the program wrote, and keeps its settings.
    uninstall = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                             "uninstall.sh")
    env = {k: v for k, v in session.env.items() if not k.startswith("SUDO_")}
    removed = subprocess.run(["bash", uninstall], env=dict(env, TAMBREL_PREFIX=prefix),
                             capture_output=True, text=True, timeout=60)
    expect(removed.returncode == 0, "uninstall: " + removed.stderr)
    expect(not any(map(os.path.exists, (launcher, entry, os.path.join(program_folder, "Tambrel")))),
           "the uninstall left the program: " + removed.stdout)
    expect(os.path.exists(os.path.join(program_folder, "Tambrel.ini")),
           "the uninstall took the settings")


def test_stop_all_fade_and_pre_listen(session, media):
    """A slot pre-listened on Cue is heard there and not on OnAir; Échap fades two slots out on
    OnAir over about a second, and a second Échap during the fade cuts at once."""
    folder = session.program_folder("cart-wall", Matin=media["abcd"])
    pathlib.Path(folder, "Options.ini").write_text("pre_ecoute=Cue\n")
    program = session.start(folder)
    program.choose(program.palette_list(), "Matin")
    x, y = program.slot_centre(3)
    right_click = ("mousemove", str(int(x)), str(int(y)), "sleep", "0.1", "click", "3")
    with session.record("OnAir") as on_air, session.record("Cue") as cue:
        program.display.xdotool(*right_click)
        listened = wait_frames(cue, 0.8)
        program.display.xdotool(*right_click)
        time.sleep(0.2)
    expect_440(cue, listened, "slot D pre-listened is not heard on Cue")
    level = heard(on_air, (0, on_air.frames()), skip=0)[0]
    expect(level < 0.002, "the pre-listen sounds on OnAir too: level %.4f" % level)

    def level_at(recorder, start, ms):
        return sound.rms(recorder.left(start, start + sound.RATE * ms // 1000))

    with session.record("OnAir") as on_air:
        program.display.key("a", "d")
        time.sleep(0.4)
        mark = on_air.frames()
        sent = program.display.press("Escape")
        time.sleep(1.6)
        program.display.key("a", "d")
        time.sleep(0.4)
        program.display.press("Escape")
        time.sleep(0.3)
        second = on_air.frames()
        cut_sent = program.display.press("Escape")
        time.sleep(0.4)
    before = level_at(on_air, mark - sound.RATE // 10, 100)
    start = next(f for f in range(mark, on_air.frames(), 64)
                 if on_air.time_of_frame(f) is not None and on_air.time_of_frame(f) >= sent)
    blocks = [level_at(on_air, f, 20) for f in range(start, start + sound.RATE * 3 // 2, 882)]
    # The level falls steadily, about half way after half a second, silent by 1.1 s.
    half = blocks[25] / before
    gone = next((i for i, b in enumerate(blocks) if b < 0.01 * before), None)
    expect(gone is not None, "Échap: still sounding 1.5 s later")
    print("fade_out_ms %d (Échap, from the key to 1 %% of the level)" % (gone * 20), flush=True)
    expect(0.3 < half < 0.7, "Échap: half a second on, the level is %.2f of before" % half)
    expect(800 <= gone * 20 <= 1200, "Échap: silent after %d ms" % (gone * 20))
    quiet = next((f for f in range(second, on_air.frames() - 220, 220)
                  if level_at(on_air, f, 5) < 0.002), None)
    expect(quiet is not None, "a second Échap did not cut")
    cut_ms = (on_air.time_of_frame(quiet) - cut_sent) * 1000
    print("stop_all_cut_ms %.1f (the second Échap to silence)" % cut_ms, flush=True)
    expect(cut_ms < 100, "a second Échap cut after %.1f ms" % cut_ms)

    # The air on the system's default, and that default now Cue, the
    # pre-listen's device: a right click is refused, nothing on Cue.
    expect(session.sound.pactl("set-default-sink", "Cue").returncode == 0, "pactl refused Cue")
    time.sleep(0.5)
    with session.record("Cue") as cue:
        program.display.xdotool(*right_click)
        refused = wait_frames(cue, 0.8)
    session.sound.pactl("set-default-sink", "OnAir")
    level = heard(cue, refused)[0]
    expect(level < 0.002, "a pre-listen on the air's default device sounds: level %.4f" % level)


def test_big_keys_screen(session, media):
    """"Grandes touches" at 1280x1024: the slots fill the window, line 0's last button stands
    where the design layout leaves an empty gradient."""
    folder = session.program_folder("big-keys")
    pathlib.Path(folder, "Options.ini").write_text("grandes_touches=oui\n")
    program = session.start(folder)
    png = media.get("big_keys_png")
    shot = program.screen(png)
    scale = min(session.width * TWIPS / (8880 + 2805 + 420),
                (session.height - program.top) * TWIPS / (1320 + 1020 * 6 + 795 + 420))
    x = (420 + 2820 * 3 + 2835 * 0.6) * scale / TWIPS + 20
    y = program.top + (1320 + 795 / 2) * scale / TWIPS + 18
    expect(scale > 1.3, "scale %.2f" % scale)
    expect(shot.pixel(x, y) == LINE_COLOURS[0],
           "no slot D at (%d, %d) scaled %.2f: %s" % (x, y, scale, shot.pixel(x, y)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("executable")
    parser.add_argument("--screenshot")
    parser.add_argument("--guide-shots")
    parser.add_argument("--install-prefix")
    # A desktop on PipeWire that cannot take the PulseAudio daemon: only the
    # session on PipeWire runs.
    parser.add_argument("--without-pulseaudio", action="store_true")
    args = parser.parse_args()

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
        finally:
            # A copy a failed test left running would answer the next test's
            # start as the copy already there.
            session.end_programs()

    sessions = ((1024, 768, False), (1280, 1024, False), (1024, 768, True))
    for width, height, pipewire in sessions:
        if args.without_pulseaudio and not pipewire:
            print("SKIPPED the session on PulseAudio %dx%d: no PulseAudio daemon" % (width, height),
                  flush=True)
            continue
        session = Session(os.path.abspath(args.executable), width, height, pipewire)
        try:
            media = {}
            for name, frequency, seconds in (("a440", 440, 3), ("b880", 880, 3),
                                             ("c660short", 660, 0.4), ("d440", 440, 30)):
                media[name] = os.path.join(session.folder, name + ".wav")
                sound.write_tone(media[name], frequency, seconds)
            media["abcd"] = [media[name] for name in ("a440", "b880", "c660short", "d440")]
            if args.screenshot and width == 1024:
                media["screenshot"] = os.path.abspath(args.screenshot)
            if args.guide_shots and width == 1024 and not pipewire:
                media["guide"] = os.path.abspath(args.guide_shots)
                os.makedirs(media["guide"], exist_ok=True)
            tag = "%dx%d" % (width, height)
            if pipewire:
                run("a key on OnAir, then on Cue, through PipeWire",
                    test_key_on_air_then_cue_on_pipewire, session, media)
                continue
            run("start-up with no palette " + tag, test_start_up_with_no_palette, session, media)
            folder = run("palette, keys, mouse, loop, output, new palette, quit " + tag,
                         test_palette_keys_mouse_loop_and_output, session, media)
            if folder:
                run("restart, second copy, close, damaged settings " + tag,
                    test_restart_second_copy_close_and_damaged_settings, session, media, folder)
            if width == 1280 and not pipewire:
                if args.screenshot:
                    media["big_keys_png"] = os.path.join(os.path.dirname(
                        os.path.abspath(args.screenshot)), "grandes-touches-1280x1024.png")
                run("Grandes touches at 1280x1024", test_big_keys_screen, session, media)
            if width != 1024:
                continue
            for name, test in (
                    ("wheel, held key, devices plugged and unplugged, signals",
                     test_wheel_held_key_devices_and_signals),
                    ("a palette made on Windows", test_windows_palette),
                    ("a damaged palette, Quitter answered No, kill -9 after an output pick",
                     test_edges_keep_air_and_settings),
                    ("remote control over OSC", test_remote_control),
                    ("remote control: no self-subscription, a press during a box",
                     test_remote_safe_on_air),
                    ("the web page in a browser", test_web_page),
                    ("as-run log, a kill mid-play", test_as_run_log),
                    ("a sound server that never answers", test_silent_sound_server),
                    ("the whole program frozen for 900 ms", test_frozen_program),
                    ("latency, 20 presses", measure_latency),
                    ("Échap fades and cuts, a pre-listen on Cue",
                     test_stop_all_fade_and_pre_listen),
                    ("a locked window, palettes on F keys, the clock",
                     test_locked_window_function_keys_and_clock)):
                run(name, test, session, media)
            if "guide" in media:
                run("the operator's guide's pictures", test_guide_pictures, session, media)
            if args.install_prefix:
                run("installation", test_installation, session, media, args.install_prefix)
        finally:
            session.stop()

    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
