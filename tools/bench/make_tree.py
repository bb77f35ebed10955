#!/usr/bin/env python3
"""Makes the source trees of the backup benchmark, the same bytes every time.

    make_tree.py mixed DIR [--bytes N]   large and medium files, text-like and random
    make_tree.py small DIR [--count N]   many small text-like files

The tree is made in DIR.partial and renamed to DIR when whole, so that a tree
found at DIR is complete. An existing DIR is left as it is.
"""

import argparse
import os
import random
import shutil
import sys

CHUNK = 1 << 20

WORDS_SEED = 7


def vocabulary(rng):
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    weights = [12, 9, 8, 8, 7, 7, 6, 6, 6, 4, 4, 3, 3, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1]
    words = set()
    while len(words) < 5000:
        words.add("".join(rng.choices(letters, weights, k=rng.randint(2, 11))))
    return sorted(words)


def text_pool(rng, size):
    """Log-like and prose-like lines: about 3:1 under deflate."""
    words = vocabulary(rng)
    levels = ["INFO", "DEBUG", "WARN", "ERROR"]
    lines = []
    total = 0
    while total < size:
        if rng.random() < 0.5:
            line = "2024-%02d-%02d %02d:%02d:%02d.%03d %s [%s] %s id=%d\n" % (
                rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23),
                rng.randint(0, 59), rng.randint(0, 59), rng.randint(0, 999),
                rng.choice(levels), rng.choice(words),
                " ".join(rng.choices(words, k=rng.randint(4, 14))), rng.randint(0, 10**6))
        else:
            line = " ".join(rng.choices(words, k=rng.randint(6, 18))).capitalize() + ".\n"
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:size]


class Source:
    """Text-like bytes (slices of a pool far larger than deflate's window, at
    random places) or incompressible ones."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.pool = text_pool(random.Random(WORDS_SEED), 24 << 20)

    def write(self, path, size, text):
        with open(path, "wb") as out:
            left = size
            while left > 0:
                n = min(left, CHUNK)
                if text:
                    at = self.rng.randrange(0, len(self.pool) - n)
                    out.write(self.pool[at:at + n])
                else:
                    out.write(self.rng.randbytes(n))
                left -= n


def mixed(root, total):
    source = Source(1)
    rng = random.Random(2)
    made = 0
    # Large files: about half of the bytes, text and random alike.
    large = os.path.join(root, "large")
    os.makedirs(large)
    for i, (share, text) in enumerate([(0.16, False), (0.12, True), (0.12, False), (0.08, True)]):
        size = int(total * share)
        name = "big-%d.%s" % (i + 1, "log" if text else "bin")
        source.write(os.path.join(large, name), size, text)
        made += size
    # Medium files, 32 KiB to 768 KiB, 60% text-like, in two levels of folders.
    i = 0
    while made < total:
        folder = os.path.join(root, "projects", "p%02d" % (i // 400), "d%02d" % (i // 40 % 10))
        os.makedirs(folder, exist_ok=True)
        size = min(rng.randint(32 << 10, 768 << 10), total - made)
        text = rng.random() < 0.6
        name = "f%05d.%s" % (i, rng.choice(["txt", "csv", "xml", "c"]) if text else
                             rng.choice(["jpg", "zip", "dat"]))
        source.write(os.path.join(folder, name), size, text)
        made += size
        i += 1
    return made


def small(root, count):
    source = Source(3)
    rng = random.Random(4)
    made = 0
    for i in range(count):
        folder = os.path.join(root, "s%03d" % (i // 10000), "t%02d" % (i // 500 % 20))
        if i % 500 == 0:
            os.makedirs(folder)
        size = rng.randint(0, 2048)
        at = rng.randrange(0, len(source.pool) - size)
        with open(os.path.join(folder, "n%06d.txt" % i), "wb") as out:
            out.write(source.pool[at:at + size])
        made += size
    return made


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["mixed", "small"])
    parser.add_argument("dir")
    parser.add_argument("--bytes", type=int, default=1_200_000_000)
    parser.add_argument("--count", type=int, default=200_000)
    args = parser.parse_args()
    if os.path.isdir(args.dir):
        return 0
    partial = args.dir + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    os.makedirs(partial)
    if args.kind == "mixed":
        made = mixed(partial, args.bytes)
    else:
        made = small(partial, args.count)
    os.rename(partial, args.dir)
    print("made %s: %d bytes" % (args.dir, made), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
