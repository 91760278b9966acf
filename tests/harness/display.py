"""The X display: the program's windows, their sizes and pictures, and closing them as a user does."""

import ctypes
import io
import re
import subprocess
from pathlib import Path

from PIL import Image

from .processes import run_quiet
from .program import TITLE


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("l", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


def _xlib():
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.POINTER(_XEvent)]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x


def request_close(window):
    """Asks the window manager to close the window, as its close button does (what `wmctrl -c`
    sends): the manager then sends WM_DELETE_WINDOW, or kills a client that does not take it."""
    x = _xlib()
    display = x.XOpenDisplay(None)
    assert display, "cannot open the X display"
    try:
        event = _XEvent()
        event.xclient.type = 33                  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = x.XInternAtom(display, b"_NET_CLOSE_WINDOW", 0)
        event.xclient.format = 32
        event.xclient.l[0] = 0                   # CurrentTime
        event.xclient.l[1] = 2                   # from a pager, i.e. on the user's behalf
        substructure_notify_and_redirect = (1 << 19) | (1 << 20)
        assert x.XSendEvent(display, x.XDefaultRootWindow(display), 0,
                            substructure_notify_and_redirect, ctypes.byref(event))
        x.XFlush(display)
    finally:
        x.XCloseDisplay(display)


def find_windows(pid=None):
    """Ids of the program's visible windows (by title), optionally only those of one process."""
    args = ["xdotool", "search", "--onlyvisible"]
    if pid is not None:
        args += ["--pid", str(pid)]
    args += ["--name", f"^{TITLE}$"]
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            timeout=20)
    return [int(w) for w in result.stdout.split()]


def window_size(window):
    out = run_quiet(["xdotool", "getwindowgeometry", str(window)]).stdout
    m = re.search(r"Geometry: (\d+)x(\d+)", out)
    assert m, out
    return int(m.group(1)), int(m.group(2))


def screenshot(window, save_to=None):
    """The window's content as an RGB picture (also saved as PNG when save_to is given)."""
    xwd = subprocess.run(["xwd", "-silent", "-id", str(window)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=20)
    if xwd.returncode != 0 or not xwd.stdout:
        return None   # the window went away meanwhile
    png = subprocess.run(["/usr/bin/convert", "xwd:-", "png:-"], input=xwd.stdout, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=20, check=True).stdout
    if save_to is not None:
        Path(save_to).write_bytes(png)
    return Image.open(io.BytesIO(png)).convert("RGB")
