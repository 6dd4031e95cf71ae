#!/usr/bin/env python3
"""Writes the exact bitmap and icon formats the resource script needs.

ImageMagick draws the pictures; this tool turns them into Windows files whose format we
control byte for byte (ImageMagick picks the bit depth from the colour count by itself):

  bmptool.py bmp IN OUT.bmp BITS     BITS 24: BGR rows; BITS 8: colour table + indices
  bmptool.py ico OUT.ico IN...       one 32-bit image (BGRA + AND mask) per input

Inputs are any image ImageMagick reads. In 8-bit output the most frequent colours keep
their exact values (the skin's blues and white must stay exact); rarer ones map to the
nearest kept colour. No entry of a colour table is one of the three greys that
LR_LOADMAP3DCOLORS replaces on loading (128, 192, 223), and magenta is refused because
it would be cut out of the window region.
"""
import struct
import subprocess
import sys

MAP3D_GREYS = {(128, 128, 128), (192, 192, 192), (223, 223, 223)}
MAGENTA = (255, 0, 255)


def read_image(path, alpha=False):
    size = subprocess.run(["identify", "-format", "%w %h\n", path], check=True,
                          capture_output=True, text=True).stdout.split()
    w, h = int(size[0]), int(size[1])
    fmt = "rgba:-" if alpha else "rgb:-"
    raw = subprocess.run(["convert", path, "-depth", "8", fmt], check=True,
                         capture_output=True).stdout
    n = 4 if alpha else 3
    if len(raw) != w * h * n:
        sys.exit("%s: expected %d bytes of pixels, got %d" % (path, w * h * n, len(raw)))
    px = [tuple(raw[i:i + n]) for i in range(0, len(raw), n)]
    return w, h, px


def avoid_greys(c):
    # Nudge one of the three mapped greys by one step so the loader leaves it alone.
    if c in MAP3D_GREYS:
        v = c[0] + 1
        return (v, v, v)
    return c


def file_header(pixel_offset, total):
    return b"BM" + struct.pack("<IHHI", total, 0, 0, pixel_offset)


def info_header(w, h, bits, image_size, colours):
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, image_size, 2835, 2835, colours,
                       colours)


def write_bmp24(w, h, px, out):
    stride = (w * 3 + 3) & ~3
    rows = []
    for y in range(h - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(w):
            r, g, b = avoid_greys(px[y * w + x])
            row += bytes((b, g, r))
        row += b"\0" * (stride - len(row))
        rows.append(bytes(row))
    data = b"".join(rows)
    off = 14 + 40
    with open(out, "wb") as f:
        f.write(file_header(off, off + len(data)))
        f.write(info_header(w, h, 24, len(data), 0))
        f.write(data)


def nearest(c, palette):
    best, bestd = 0, None
    for i, p in enumerate(palette):
        d = (c[0] - p[0]) ** 2 + (c[1] - p[1]) ** 2 + (c[2] - p[2]) ** 2
        if bestd is None or d < bestd:
            best, bestd = i, d
    return best


def write_bmp8(w, h, px, out):
    counts = {}
    for c in px:
        c = avoid_greys(c)
        counts[c] = counts.get(c, 0) + 1
    ordered = sorted(counts, key=lambda c: -counts[c])
    palette = ordered[:256]
    index = {c: i for i, c in enumerate(palette)}
    for c in ordered[256:]:
        index[c] = nearest(c, palette)
    stride = (w + 3) & ~3
    rows = []
    for y in range(h - 1, -1, -1):
        row = bytearray(index[avoid_greys(px[y * w + x])] for x in range(w))
        row += b"\0" * (stride - len(row))
        rows.append(bytes(row))
    data = b"".join(rows)
    table = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    table += b"\0\0\0\0" * (256 - len(palette))  # a full table: 8 bits per pixel, 256 entries
    off = 14 + 40 + len(table)
    with open(out, "wb") as f:
        f.write(file_header(off, off + len(data)))
        f.write(info_header(w, h, 8, len(data), 256))
        f.write(table)
        f.write(data)
    return len(counts)


def write_ico(out, inputs):
    images = []
    for path in inputs:
        w, h, px = read_image(path, alpha=True)
        if w > 255 or h > 255:
            sys.exit("%s: icons here are at most 255 pixels" % path)
        xor = bytearray()
        for y in range(h - 1, -1, -1):
            for x in range(w):
                r, g, b, a = px[y * w + x]
                xor += bytes((b, g, r, a))
        mask_stride = ((w + 31) // 32) * 4
        mask = bytearray()
        for y in range(h - 1, -1, -1):
            row = bytearray(mask_stride)
            for x in range(w):
                if px[y * w + x][3] < 128:  # transparent where the picture is clear
                    row[x // 8] |= 0x80 >> (x % 8)
            mask += row
        # The icon's header states twice the height: picture and mask.
        header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 32, 0, len(xor) + len(mask), 0, 0, 0,
                             0)
        images.append((w, h, header + bytes(xor) + bytes(mask)))
    with open(out, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, len(images)))
        offset = 6 + 16 * len(images)
        for w, h, blob in images:
            f.write(struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(blob), offset))
            offset += len(blob)
        for _, _, blob in images:
            f.write(blob)


def main(argv):
    if len(argv) == 5 and argv[1] == "bmp" and argv[4] in ("8", "24"):
        w, h, px = read_image(argv[2])
        if MAGENTA in px:
            sys.exit("%s: magenta would be cut out of the window" % argv[2])
        if argv[4] == "24":
            write_bmp24(w, h, px, argv[3])
        else:
            n = write_bmp8(w, h, px, argv[3])
            if n > 256:
                print("%s: %d colours reduced to 256" % (argv[3], n), file=sys.stderr)
        return 0
    if len(argv) >= 4 and argv[1] == "ico":
        write_ico(argv[2], argv[3:])
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
