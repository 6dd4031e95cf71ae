#!/usr/bin/env python3
"""Writes test_hand.cur: a 32 x 32 monochrome cursor, hot spot (5, 9), a
diagonal band on a clear ground. The window tests embed it as cursor 106 in
a stand-in for the Windows help program, to see where the buttons' hand
cursor comes from. Run from this folder: python3 make_test_cursor.py"""
import struct

W = H = 32
HOT = (5, 9)
xor_rows, and_rows = [], []
for y in range(H):
    xor_bits = and_bits = 0
    for x in range(W):
        on = abs(x - y) < 3
        bit = 1 << (31 - x)
        if on:
            xor_bits |= bit  # white where drawn
        else:
            and_bits |= bit  # clear elsewhere
    xor_rows.append(struct.pack(">I", xor_bits))
    and_rows.append(struct.pack(">I", and_bits))
# Bitmap rows bottom-up.
image = struct.pack("<IiiHHIIiiII", 40, W, 2 * H, 1, 1, 0, 0, 0, 0, 2, 0)
image += bytes([0, 0, 0, 0, 255, 255, 255, 0])
image += b"".join(reversed(xor_rows)) + b"".join(reversed(and_rows))
header = struct.pack("<HHH", 0, 2, 1)
entry = struct.pack("<BBBBHHII", W, H, 0, 0, HOT[0], HOT[1], len(image), 6 + 16)
with open("test_hand.cur", "wb") as f:
    f.write(header + entry + image)
