"""What an operator does and sees on an X display, for the end-to-end tests.

Keys and clicks go through the X test extension (as xdotool sends them),
screenshots come from ImageMagick's `import`, and a window is closed the
way a window manager closes it, with a WM_DELETE_WINDOW message.
"""

import ctypes
import ctypes.util
import subprocess
import time


class _XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessageEvent), ("pad", ctypes.c_long * 24)]


_CLIENT_MESSAGE = 33


class Display:
    def __init__(self, name, env):
        self.name, self.env = name, env
        self._x11 = x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        self._xtst = ctypes.CDLL(ctypes.util.find_library("Xtst") or "libXtst.so.6")
        pointer, ulong, text, flag = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_char_p, ctypes.c_int
        for function, result, args in (
                (x11.XOpenDisplay, pointer, [text]),
                (x11.XKeysymToKeycode, ctypes.c_ubyte, [pointer, ulong]),
                (x11.XStringToKeysym, ulong, [text]),
                (x11.XInternAtom, ulong, [pointer, text, flag]),
                (x11.XSendEvent, flag, [pointer, ulong, flag, ctypes.c_long,
                                        ctypes.POINTER(_XEvent)]),
                (x11.XFlush, flag, [pointer]),
                (x11.XSync, flag, [pointer, flag]),
                (self._xtst.XTestFakeKeyEvent, flag, [pointer, ctypes.c_uint, flag, ulong])):
            function.restype, function.argtypes = result, args
        self._display = self._x11.XOpenDisplay(name.encode())
        if not self._display:
            raise RuntimeError("cannot open display " + name)

    def press(self, keysym_name):
        """Presses and releases one key at once; returns the time it was sent."""
        code = self._x11.XKeysymToKeycode(self._display,
                                          self._x11.XStringToKeysym(keysym_name.encode()))
        sent = time.monotonic()
        self._xtst.XTestFakeKeyEvent(self._display, code, 1, 0)
        self._xtst.XTestFakeKeyEvent(self._display, code, 0, 0)
        self._x11.XFlush(self._display)
        return sent

    def xdotool(self, *args, timeout=10):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout).stdout

    def key(self, *keys):
        self.xdotool("key", "--delay", "30", *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", "20", text)

    def click(self, x, y):
        # No --sync: it waits forever when the pointer is already there.
        self.xdotool("mousemove", str(int(x)), str(int(y)), "sleep", "0.1", "click", "1")

    def windows(self, title_regex):
        out = self.xdotool("search", "--onlyvisible", "--name", title_regex)
        return [int(w) for w in out.split()]

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", str(window))

    def close_window(self, window):
        """Asks the window to close, as a window manager does."""
        protocols = self._x11.XInternAtom(self._display, b"WM_PROTOCOLS", 0)
        delete = self._x11.XInternAtom(self._display, b"WM_DELETE_WINDOW", 0)
        event = _XEvent(xclient=_XClientMessageEvent(type=_CLIENT_MESSAGE, window=window,
                                                     message_type=protocols, format=32))
        event.xclient.data[0] = delete  # and data[1], the time, CurrentTime
        self._x11.XSendEvent(self._display, window, 0, 0, ctypes.byref(event))
        self._x11.XSync(self._display, 0)

    def screenshot(self, png_path=None):
        """The whole screen as raw RGB rows; also saved as a PNG when asked."""
        raw = subprocess.run(["import", "-display", self.name, "-window", "root", "-depth", "8",
                              "rgb:-"], env=self.env, capture_output=True, timeout=20).stdout
        if png_path:
            subprocess.run(["import", "-display", self.name, "-window", "root", png_path],
                           env=self.env, timeout=20, check=False)
        return raw


class Screen:
    """Pixels of one screenshot."""

    def __init__(self, raw, width, height):
        self.raw, self.width, self.height = raw, width, height

    def pixel(self, x, y):
        i = (int(y) * self.width + int(x)) * 3
        return tuple(self.raw[i:i + 3])
