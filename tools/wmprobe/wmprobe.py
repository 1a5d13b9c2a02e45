#!/usr/bin/env python3
"""Tells whether a window manager runs on the X display: exit 0 yes, 1 no, 2 no display.

Only one X client may redirect the root window's substructure, and a window manager always
does: so the request is refused exactly when one runs. Used by the velka launcher."""
import ctypes
import ctypes.util
import sys

SUBSTRUCTURE_REDIRECT_MASK = 1 << 20


def main():
    name = ctypes.util.find_library("X11")
    if not name:
        return 2
    x11 = ctypes.CDLL(name)
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    if not display:
        return 2
    refused = []
    handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
    handler = handler_type(lambda _display, _event: refused.append(1) or 0)
    x11.XSetErrorHandler(handler)
    x11.XSelectInput(display, x11.XDefaultRootWindow(display), SUBSTRUCTURE_REDIRECT_MASK)
    x11.XSync(display, 0)
    x11.XCloseDisplay(display)
    return 0 if refused else 1


if __name__ == "__main__":
    sys.exit(main())
