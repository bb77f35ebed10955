#!/usr/bin/env python3
"""Reads a screen picture of the tray's tests back, independently of the
program: for each "X0,Y0,X1,Y1=RRGGBB" it prints the share (0..1) of pixels
of that rectangle (right and bottom outside) whose colour is RRGGBB (within 8
in each channel), one a line.

  picture_check.py FILE RECT=COLOUR ...
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "tools", "testkit"))
from png_probe import read_png  # noqa: E402


def main():
    _, _, pixels = read_png(sys.argv[1])
    for area in sys.argv[2:]:
        rect, colour = area.split("=")
        x0, y0, x1, y1 = (int(v) for v in rect.split(","))
        want = tuple(int(colour[i:i + 2], 16) for i in (0, 2, 4))
        hits = total = 0
        for y in range(y0, y1):
            for x in range(x0, x1):
                got = pixels[y * pixels.width + x][:3]
                total += 1
                hits += all(abs(a - b) <= 8 for a, b in zip(got, want))
        print("%.4f" % (hits / total if total else 0))


main()
