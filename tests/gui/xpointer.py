#!/usr/bin/env python3
"""Parks the X pointer in the screen's bottom-right corner and holds the display open.

  xpointer.py     (DISPLAY set) runs until killed

A bare Xvfb puts its pointer in the middle of the screen, which is where a centred window
has its buttons, and resets it there whenever its last client disconnects (Wine's server
comes and goes between runs). Holding one connection keeps the pointer where we put it, so
no button of the window under test is highlighted by a pointer nobody moved. Uses libX11
through ctypes: nothing to build or install.
"""
import ctypes
import os
import signal
import sys

x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XDisplayWidth.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XDisplayHeight.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XWarpPointer.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int,
                             ctypes.c_int, ctypes.c_uint, ctypes.c_uint, ctypes.c_int, ctypes.c_int]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]

display = x11.XOpenDisplay(os.environ.get("DISPLAY", "").encode())
if not display:
    sys.exit("cannot open display %s" % os.environ.get("DISPLAY", ""))
root = x11.XDefaultRootWindow(display)
x11.XWarpPointer(display, 0, root, 0, 0, 0, 0, x11.XDisplayWidth(display, 0) - 1,
                 x11.XDisplayHeight(display, 0) - 1)
x11.XSync(display, 0)
print("pointer parked", flush=True)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
while True:
    signal.pause()
