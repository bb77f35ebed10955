#!/usr/bin/env python3
"""Draws the tray's skin: the 24 status icons of Skin/Tray/tray_ico, the 10
button bitmaps of Skin/Tray, and the program's icon (the tray's icon 128),
all with python3 alone.

    draw_skin.py OUTPUT_FOLDER

writes OUTPUT_FOLDER/Skin/Tray/..., OUTPUT_FOLDER/TrayLoc/enu/tray.ico and
OUTPUT_FOLDER/tray.ico. The output is the same on every run. Opaque pixels
are never pure white (the controls' transparent key) nor pure red (the
pop-up's)."""
import math
import os
import struct
import sys

WHITE = (255, 255, 255)


def safe(colour):
    """Keeps a colour off the two keys."""
    if colour == (255, 255, 255):
        return (254, 254, 254)
    if colour == (255, 0, 0):
        return (254, 0, 0)
    return colour


class Canvas:
    def __init__(self, size, background=None):
        self.size = size
        self.pixels = [[background for _ in range(size)] for _ in range(size)]

    def put(self, x, y, colour, alpha=255):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.pixels[y][x] = (safe(colour), alpha) if alpha else None

    def disc(self, cx, cy, radius, colour):
        for y in range(self.size):
            for x in range(self.size):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius * radius:
                    self.put(x, y, colour)

    def ring_segment(self, cx, cy, inner, outer, start, sweep, colour):
        for y in range(self.size):
            for x in range(self.size):
                dx, dy = x + 0.5 - cx, y + 0.5 - cy
                r = math.hypot(dx, dy)
                if inner <= r <= outer:
                    angle = (math.degrees(math.atan2(dy, dx)) - start) % 360
                    if angle <= sweep:
                        self.put(x, y, colour)

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.put(x, y, colour)

    def line(self, x0, y0, x1, y1, width, colour):
        steps = int(max(abs(x1 - x0), abs(y1 - y0)) * 4) + 1
        for i in range(steps + 1):
            t = i / steps
            x, y = x0 + (x1 - x0) * t, y0 + (y1 - y0) * t
            half = width / 2.0
            for yy in range(int(y - half), int(y + half) + 1):
                for xx in range(int(x - half), int(x + half) + 1):
                    if (xx + 0.5 - x) ** 2 + (yy + 0.5 - y) ** 2 <= half * half + 0.25:
                        self.put(xx, yy, colour)

    def triangle(self, cx, top, half_width, height, colour):
        for y in range(self.size):
            for x in range(self.size):
                fy = (y + 0.5 - top) / height
                if 0 <= fy <= 1 and abs(x + 0.5 - cx) <= half_width * fy:
                    self.put(x, y, colour)


# --- status icons ---------------------------------------------------------------
BASE = (40, 96, 150)
BASE_IDLE = (96, 118, 140)
ARROW = (236, 240, 244)
SPIN = (90, 200, 250)
BADGES = {
    "notify": (246, 196, 40),
    "warning": (240, 140, 20),
    "err": (200, 30, 40),
}


def status_icon(size, frame=None, badge=None):
    s = size / 32.0
    c = Canvas(size)
    c.disc(16 * s, 16 * s, 15 * s, BASE if frame is not None else BASE_IDLE)
    # An upward arrow: the backup.
    c.rect(int(14 * s), int(12 * s), int(18 * s), int(24 * s), ARROW)
    c.triangle(16 * s, 6 * s, 7 * s, 7 * s, ARROW)
    if frame is not None:
        c.ring_segment(16 * s, 16 * s, 12 * s, 15 * s, frame * 72 - 90, 100, SPIN)
    if badge:
        colour = BADGES[badge]
        c.disc(25 * s, 25 * s, 7 * s, (30, 30, 30))
        c.disc(25 * s, 25 * s, 6 * s, colour)
        if badge == "err":
            c.line(22 * s, 22 * s, 28 * s, 28 * s, 1.6 * s, ARROW)
            c.line(28 * s, 22 * s, 22 * s, 28 * s, 1.6 * s, ARROW)
        elif badge == "warning":
            c.rect(int(24 * s), int(21 * s), int(26 * s), int(27 * s), (40, 30, 10))
        else:
            c.disc(25 * s, 25 * s, 2 * s, (90, 60, 0))
    return c


def program_icon(size):
    s = size / 32.0
    c = Canvas(size)
    c.disc(16 * s, 16 * s, 15.5 * s, (30, 70, 120))
    c.disc(16 * s, 16 * s, 13 * s, (52, 130, 190))
    c.rect(int(14 * s), int(11 * s), int(18 * s), int(25 * s), ARROW)
    c.triangle(16 * s, 5 * s, 8 * s, 7 * s, ARROW)
    return c


def ico_bytes(canvases):
    """An ICO file of 32-bit images with their masks, smallest first."""
    entries, images = [], []
    for c in canvases:
        n = c.size
        xor = bytearray()
        for y in range(n - 1, -1, -1):
            for x in range(n):
                p = c.pixels[y][x]
                if p is None:
                    xor += bytes((0, 0, 0, 0))
                else:
                    (r, g, b), a = p
                    xor += bytes((b, g, r, a))
        mask_stride = ((n + 31) // 32) * 4
        mask = bytearray()
        for y in range(n - 1, -1, -1):
            row = bytearray(mask_stride)
            for x in range(n):
                if c.pixels[y][x] is None:
                    row[x // 8] |= 0x80 >> (x % 8)
            mask += row
        header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
        images.append(header + bytes(xor) + bytes(mask))
    offset = 6 + 16 * len(canvases)
    out = struct.pack("<HHH", 0, 1, len(canvases))
    for c, image in zip(canvases, images):
        n = c.size
        out += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    for image in images:
        out += image
    return out


def bmp_bytes(c):
    """A 24-bit BMP; transparent pixels become white, the controls' key."""
    n = c.size
    stride = (n * 3 + 3) & ~3
    body = bytearray()
    for y in range(n - 1, -1, -1):
        row = bytearray()
        for x in range(n):
            p = c.pixels[y][x]
            r, g, b = WHITE if p is None else p[0]
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        body += row
    header = struct.pack("<2sIHHI", b"BM", 54 + len(body), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, n, n, 1, 24, 0, len(body), 3780, 3780, 0, 0)
    return header + info + bytes(body)


# --- button bitmaps ---------------------------------------------------------------
def close_button(frame, mark):
    c = Canvas(20)
    if frame:
        for x in range(2, 18):
            c.put(x, 2, frame)
            c.put(x, 17, frame)
        for y in range(2, 18):
            c.put(2, y, frame)
            c.put(17, y, frame)
    c.line(6, 6, 14, 14, 2, mark)
    c.line(14, 6, 6, 14, 2, mark)
    return c


def stick_button(stuck, frame, mark):
    c = Canvas(20)
    if frame:
        for x in range(2, 18):
            c.put(x, 2, frame)
            c.put(x, 17, frame)
        for y in range(2, 18):
            c.put(2, y, frame)
            c.put(17, y, frame)
    if stuck:  # a pin pressed in, seen from above
        c.disc(10, 10, 4.5, mark)
        c.disc(10, 10, 2, (250, 250, 250))
    else:  # a pin lying on its side
        c.rect(5, 8, 11, 12, mark)
        c.rect(11, 9, 16, 11, mark)
        c.rect(4, 6, 6, 14, mark)
    return c


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main(out):
    ico_folder = os.path.join(out, "Skin", "Tray", "tray_ico")
    write(os.path.join(ico_folder, "none.ico"), ico_bytes([status_icon(16), status_icon(32)]))
    for badge in ("notify", "warning", "err"):
        write(os.path.join(ico_folder, badge + ".ico"),
              ico_bytes([status_icon(16, badge=badge), status_icon(32, badge=badge)]))
    for frame in range(5):
        for suffix, badge in (("", None), ("_notify", "notify"), ("_warning", "warning"), ("_err", "err")):
            name = "jobrunning%s%d.ico" % (suffix, frame + 1)
            write(os.path.join(ico_folder, name),
                  ico_bytes([status_icon(16, frame, badge), status_icon(32, frame, badge)]))
    tray = os.path.join(out, "Skin", "Tray")
    grey, blue, dark = (150, 150, 150), (52, 130, 190), (30, 60, 90)
    write(os.path.join(tray, "closenormal.bmp"), bmp_bytes(close_button(None, dark)))
    write(os.path.join(tray, "closehover.bmp"), bmp_bytes(close_button(blue, dark)))
    write(os.path.join(tray, "closedown.bmp"), bmp_bytes(close_button(dark, blue)))
    write(os.path.join(tray, "closefocus.bmp"), bmp_bytes(close_button(blue, blue)))
    write(os.path.join(tray, "closedisable.bmp"), bmp_bytes(close_button(None, grey)))
    write(os.path.join(tray, "StickBtnUnstickNormal.bmp"), bmp_bytes(stick_button(False, None, dark)))
    write(os.path.join(tray, "StickBtnUnstickHover.bmp"), bmp_bytes(stick_button(False, blue, dark)))
    write(os.path.join(tray, "StickBtnStickNormal.bmp"), bmp_bytes(stick_button(True, None, dark)))
    write(os.path.join(tray, "StickBtnStickHover.bmp"), bmp_bytes(stick_button(True, blue, dark)))
    write(os.path.join(tray, "StickBtnDisable.bmp"), bmp_bytes(stick_button(False, None, grey)))
    icon = ico_bytes([program_icon(16), program_icon(32), program_icon(48)])
    write(os.path.join(out, "TrayLoc", "enu", "tray.ico"), icon)
    write(os.path.join(out, "tray.ico"), icon)


if __name__ == "__main__":
    main(sys.argv[1])
